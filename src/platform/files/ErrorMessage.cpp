#include "ErrorMessage.h"

#include <cstring>

namespace strataloom {

std::string errnoMessage(const std::string& what, int cause)
{
    return what + ": " + std::strerror(cause);
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
