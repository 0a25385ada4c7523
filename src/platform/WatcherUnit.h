#pragma once

#include <string>
#include <vector>

namespace strataloom {

// The watcher's systemd user unit, and how the user's service manager finds it:
// the one place that says how to start the watcher.
inline constexpr const char* kWatcherUnitName = "strataloom-watch.service";

// The folders the user's service manager loads units from (systemd.unit(5)),
// from the XDG variables of this process's environment.
std::vector<std::string> userUnitSearchPath();

// What `systemctl --user enable` and the manager's EnableUnitFiles are given
// for the installation `executable` belongs to. The unit is installed into
// <prefix>/lib/systemd/user beside <prefix>/bin: when it is there and that
// folder is not on `searchPath` (as under ~/.local), the manager knows it only
// by that path, which is returned; otherwise its name.
std::string watcherUnitReference(const std::string& executable, const std::vector<std::string>& searchPath);

// The same for the running program.
std::string watcherUnitReference();

// The command that starts the watcher now and at every login, for the running
// program's installation, ready to paste into a shell.
std::string startWatcherCommand();

} // namespace strataloom
