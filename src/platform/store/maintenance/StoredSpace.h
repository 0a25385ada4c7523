#pragma once

#include <cstdint>
#include <string>

// What a stored file really takes on disk, which the size cap counts.
namespace strataloom::store {

// The bytes of the blocks allocated to `file` in an open document folder, so
// that a sparse file counts the data it holds, not its length; 0 when it is
// missing or not a regular file. Never follows a symbolic link.
std::uint64_t storedBytesOnDisk(int documentFolderFd, const std::string& file);

} // namespace strataloom::store
