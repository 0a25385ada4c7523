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

UniqueFd createRecordFile(int folder, std::string& name, std::string* error)
{
    for (;;) {
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
