// Listing a folder through a descriptor, so that callers work relative to a
// folder they opened once.
#include "FolderListing.h"
#include "ErrorMessage.h"

#include <cerrno>
#include <memory>

#include <dirent.h>
#include <unistd.h>

namespace strataloom {

std::optional<std::vector<std::string>> folderEntries(int folderFd, std::string* error)
{
    const auto failure = [&]() -> std::optional<std::vector<std::string>> {
        fail(error, errnoMessage("cannot read the folder " + pathOfDescriptor(folderFd)));
        return std::nullopt;
    };
    // The stream owns and closes its descriptor, so it gets a duplicate.
    const int copy = dup(folderFd);
    if (copy < 0)
        return failure();
    DIR* listing = fdopendir(copy);
    if (!listing) {
        const int cause = errno;
        close(copy);
        errno = cause;
        return failure();
    }
    std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, closedir);
    rewinddir(listing);
    std::vector<std::string> names;
    errno = 0;
    while (const struct dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
        errno = 0;
    }
    if (errno != 0)
        return failure();
    return names;
}

} // namespace strataloom
