#pragma once

#include <optional>
#include <string>

namespace strataloom {

// The canonical path of an existing item, as bytes: every symbolic link, "."
// and ".." resolved (realpath(3)). Empty, with errno set and a message naming
// `path`, when some part of it does not exist or cannot be searched.
std::optional<std::string> realPath(const std::string& path, std::string* error = nullptr);

} // namespace strataloom
