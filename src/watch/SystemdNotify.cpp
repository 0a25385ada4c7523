#include "SystemdNotify.h"

#include "ErrorMessage.h"
#include "FileDescriptor.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>

namespace strataloom::watch {

bool notifyServiceManager(const std::string& state, std::string* error)
{
    const char* variable = std::getenv("NOTIFY_SOCKET");
    if (!variable || !variable[0])
        return true;
    std::string name = variable;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name[0] != '/' && name[0] != '@')
        return fail(error, "cannot notify the service manager: NOTIFY_SOCKET is not a socket path: " + name);
    if (name.size() >= sizeof address.sun_path)
        return fail(error, "cannot notify the service manager: NOTIFY_SOCKET is too long");
    if (name[0] == '@')
        name[0] = '\0';
    std::memcpy(address.sun_path, name.data(), name.size());
    // An abstract name is as long as given; a path ends at its terminating zero.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] ? 1 : 0));
    const UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return fail(error, errnoMessage("cannot notify the service manager"));
    if (sendto(socket.get(), state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
               length)
        < 0)
        return fail(error, errnoMessage("cannot notify the service manager"));
    return true;
}

} // namespace strataloom::watch
