// Making a record file: named, created, locked, and written whole.
#include "RecordFiles.h"
#include "ErrorMessage.h"
#include "StoreLayout.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

UniqueFd createRecordFile(int folder, std::string& name, std::string* error, bool keepName)
{
    for (;;) {
        if (!keepName)
            name = randomId();
        UniqueFd file(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        struct stat status {};
        if (!file.valid() || flock(file.get(), LOCK_EX) != 0 || fstat(file.get(), &status) != 0) {
            fail(error, errnoMessage("cannot create a record in the version store"));
            if (file.valid())
                unlinkat(folder, name.c_str(), 0);
            return UniqueFd();
        }
        // Clean-up took it in the instant before the lock.
        if (status.st_nlink > 0)
            return file;
    }
}

UniqueFd openHolderFolder(int documentsFd, const std::string& holderId, bool create, std::string* error)
{
    if (!isId(holderId)) {
        errno = EINVAL;
        fail(error, "the version index has a document record with a malformed identity");
        return UniqueFd();
    }
    const auto openFolder = [&] {
        return UniqueFd(openat(documentsFd, holderId.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    };
    UniqueFd folder = openFolder();
    if (!folder.valid() && errno == ENOENT && create) {
        if (mkdirat(documentsFd, holderId.c_str(), 0700) == 0 && fsync(documentsFd) != 0) {
            fail(error, errnoMessage("cannot write the folder of document " + holderId + " to disk"));
            return UniqueFd();
        }
        folder = openFolder();
    }
    if (!folder.valid())
        fail(error, errnoMessage("cannot open the folder of document " + holderId));
    return folder;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace strataloom::store
