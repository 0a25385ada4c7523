#pragma once

#include <string>

// The service manager's notification protocol, as a systemd unit of
// Type=notify expects it: one datagram of "KEY=value" lines to the AF_UNIX
// socket named by $NOTIFY_SOCKET ("@" at its start meaning the abstract
// namespace). Without that variable there is no service manager to tell.
namespace strataloom::watch {

// Sends `state`, e.g. "READY=1\nSTATUS=Watching 3 folders"; false, with the
// reason, when the socket cannot be reached. True when there is none.
bool notifyServiceManager(const std::string& state, std::string* error = nullptr);

} // namespace strataloom::watch
