// The space stored files take, from their allocated blocks.
#include "StoredSpace.h"

#include "VerifiedCopy.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

std::uint64_t storedBytesOnDisk(int documentFolderFd, const std::string& file)
{
    struct stat status {};
    if (fstatat(documentFolderFd, file.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        return 0;
    return allocatedBytes(status);
}

} // namespace strataloom::store
