#include "Paths.h"
#include "ErrorMessage.h"

#include <cstdlib>
#include <memory>

namespace strataloom {

std::optional<std::string> realPath(const std::string& path, std::string* error)
{
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) {
        fail(error, errnoMessage("cannot resolve " + path));
        return std::nullopt;
    }
    return std::string(resolved.get());
}

} // namespace strataloom
