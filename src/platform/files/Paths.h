#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace strataloom {

// The canonical path of an existing item, as bytes: every symbolic link, "."
// and ".." resolved (realpath(3)). Empty, with errno set and a message naming
// `path`, when some part of it does not exist or cannot be searched.
std::optional<std::string> realPath(const std::string& path, std::string* error = nullptr);

// Makes the folder `path` and every missing folder above it, each with `mode`
// less the umask. A folder already there is kept; anything else in the way is
// a failure. The folders this call made, outermost first, are appended to
// *made, so that the caller can make their entries durable.
bool makeFolders(const std::string& path, mode_t mode, std::vector<std::string>* made = nullptr,
                 std::string* error = nullptr);

// An XDG base folder: $<variable> when it holds an absolute path, else
// `underHome` inside the home folder ($HOME, else the password database's).
std::string xdgBaseFolder(const char* variable, const std::string& underHome);

} // namespace strataloom
