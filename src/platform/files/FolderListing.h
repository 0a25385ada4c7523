#pragma once

#include <optional>
#include <string>
#include <vector>

namespace strataloom {

// The entry names of an open folder, without "." and "..", as the bytes the file
// system holds, from the start whatever the descriptor's position; empty, with
// errno set, when the folder cannot be read. The descriptor stays open.
std::optional<std::vector<std::string>> folderEntries(int folderFd, std::string* error = nullptr);

} // namespace strataloom
