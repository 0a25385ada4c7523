#include "ErrorMessage.h"

#include <climits>
#include <cstring>

#include <unistd.h>

namespace strataloom {

std::string errnoMessage(const std::string& what, int cause)
{
    return what + ": " + std::strerror(cause);
}

std::string pathOfDescriptor(int fd)
{
    const int cause = errno;
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    errno = cause;
    if (length < 0)
        return "the item open as descriptor " + std::to_string(fd);
    target.resize(static_cast<std::size_t>(length));
    return target;
}

bool fail(std::string* error, std::string message)
{
    const int cause = errno;
    if (error)
        *error = std::move(message);
    errno = cause;
    return false;
}

} // namespace strataloom
