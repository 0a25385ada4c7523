// The space stored files take, from their allocated blocks.
#include "StoredSpace.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

std::uint64_t storedBytesOnDisk(int documentFolderFd, const std::string& file)
{
    struct stat status {};
    if (fstatat(documentFolderFd, file.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        return 0;
    // st_blocks counts 512-byte units whatever the file system's block size.
    return static_cast<std::uint64_t>(status.st_blocks) * 512;
}

} // namespace strataloom::store
