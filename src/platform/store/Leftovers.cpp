// Telling the leftovers of a dead add from the files of a live one.
#include "Leftovers.h"
#include "FileDescriptor.h"
#include "FolderListing.h"

#include <ctime>

#include <fcntl.h>
#include <sys/file.h>

namespace strataloom::store {

bool changedWithin(const struct stat& status, std::chrono::seconds age)
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - status.st_ctim.tv_sec < age.count();
}

bool lockUnlessWritten(int fd, bool exclusive)
{
    return flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
}

void removeDeadTemporaryFiles(const StoreLayout& layout)
{
    UniqueFd folder(open(layout.temporaryFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const auto names = folder.valid() ? folderEntries(folder.get()) : std::nullopt;
    if (!names)
        return;
    for (const std::string& name : *names) {
        struct stat status {};
        if (name[0] == '.' || fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(status.st_mode) || changedWithin(status, kLeftoverAge))
            continue;
        UniqueFd file(openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.valid() && lockUnlessWritten(file.get(), true))
            unlinkat(folder.get(), name.c_str(), 0);
    }
}

} // namespace strataloom::store
