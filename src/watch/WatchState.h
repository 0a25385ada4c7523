#pragma once

#include <string>

// Where the watcher keeps its own files: $XDG_STATE_HOME/strataloom
// (~/.local/state/strataloom when unset or not absolute), mode 0700, holding
// the running watcher's status file. The lock the watcher holds is the
// store's (StoreLayout::watcherLockPath).
namespace strataloom {

std::string watchStateFolder();
std::string watchStatusPath();

// Creates the folder `path` and its missing parents, owner-only, as the
// user's base folders should be.
bool makePrivateFolders(const std::string& path, std::string* error = nullptr);
// Creates the state folder when missing and makes it owner-only.
bool makeWatchStateFolder(std::string* error = nullptr);

// Whether a watcher holds the default store's lock now; a stale status file
// says nothing.
bool watcherRunning();

} // namespace strataloom
