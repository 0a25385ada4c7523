#include "ItemCopy.h"
#include "FileDescriptor.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace strataloom {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr const char* kDocumentIdAttribute = "user.strataloom.id";

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

FileTime fromTimespec(const struct timespec& time)
{
    return {time.tv_sec, static_cast<std::uint32_t>(time.tv_nsec)};
}

bool readWriteCopy(int in, int out)
{
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        const ssize_t got = read(in, buffer.get(), kBufferSize);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(out, buffer.get() + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += put;
        }
    }
}

// Copies the rest of `in` to `out`: a reflink when the file system shares
// extents, else copy_file_range, else plain reads and writes.
bool copyContents(int in, int out)
{
    if (ioctl(out, FICLONE, in) == 0)
        return true;
    for (;;) {
        const ssize_t copied = copy_file_range(in, nullptr, out, nullptr, kBufferSize * 16, 0);
        if (copied > 0)
            continue;
        if (copied == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM)
            return readWriteCopy(in, out);
        return false;
    }
}

// Copies the user attributes other than the document identity, which belongs
// to the original alone. The creation date travels with the dates.
void copyUserAttributes(int in, int out)
{
    const ssize_t listSize = flistxattr(in, nullptr, 0);
    if (listSize <= 0)
        return;
    std::vector<char> names(static_cast<std::size_t>(listSize));
    const ssize_t got = flistxattr(in, names.data(), names.size());
    if (got <= 0)
        return;
    std::vector<char> value;
    for (const char* name = names.data(); name < names.data() + got; name += std::strlen(name) + 1) {
        if (std::strncmp(name, "user.", 5) != 0 || std::strcmp(name, kDocumentIdAttribute) == 0
            || std::strcmp(name, kCreationDateAttribute) == 0)
            continue;
        const ssize_t size = fgetxattr(in, name, nullptr, 0);
        if (size < 0)
            continue;
        value.resize(static_cast<std::size_t>(size));
        const ssize_t read = fgetxattr(in, name, value.data(), value.size());
        if (read >= 0)
            fsetxattr(out, name, value.data(), static_cast<std::size_t>(read), 0);
    }
}

// Gives `out` the permissions and dates of `in`, dates last so nothing after
// them moves the modification date.
bool copyMetadata(int in, int out, const struct stat& status)
{
    copyUserAttributes(in, out);
    const std::optional<FileDates> dates = readDates(in);
    if (!dates)
        return false;
    if (fchmod(out, status.st_mode & 07777) != 0)
        return false;
    return setDates(out, *dates, fromTimespec(status.st_atim));
}

bool copyEntry(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
               std::error_code& error);

bool copyFile(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
              std::error_code& error)
{
    UniqueFd in(openat(sourceDir, sourceName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) {
        error = lastError();
        return false;
    }
    struct stat status {};
    if (fstat(in.get(), &status) != 0) {
        error = lastError();
        return false;
    }
    if (!S_ISREG(status.st_mode)) { // replaced since it was examined
        error = std::make_error_code(std::errc::not_supported);
        return false;
    }
    UniqueFd out(openat(destinationDir, destinationName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        error = lastError();
        return false;
    }
    if (copyContents(in.get(), out.get()) && copyMetadata(in.get(), out.get(), status))
        return true;
    error = lastError();
    out.reset();
    unlinkat(destinationDir, destinationName, 0);
    return false;
}

bool copySymlink(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                 const struct stat& status, std::error_code& error)
{
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t length = readlinkat(sourceDir, sourceName, target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
        error = length < 0 ? lastError() : std::make_error_code(std::errc::resource_unavailable_try_again);
        return false;
    }
    target.resize(static_cast<std::size_t>(length));
    if (symlinkat(target.c_str(), destinationDir, destinationName) != 0) {
        error = lastError();
        return false;
    }
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    if (utimensat(destinationDir, destinationName, times, AT_SYMLINK_NOFOLLOW) != 0) {
        error = lastError();
        return false;
    }
    return true;
}

bool copyFolder(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
                std::error_code& error)
{
    UniqueFd in(openat(sourceDir, sourceName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!in.valid() || fstat(in.get(), &status) != 0) {
        error = lastError();
        return false;
    }
    if (mkdirat(destinationDir, destinationName, 0700) != 0) {
        error = lastError();
        return false;
    }
    UniqueFd out(openat(destinationDir, destinationName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid()) {
        error = lastError();
        return false;
    }
    // The listing owns a duplicate; `in` stays open for the metadata.
    DIR* listing = fdopendir(dup(in.get()));
    if (!listing) {
        error = lastError();
        return false;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, closedir);
    errno = 0;
    while (const struct dirent* entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0
            && !copyEntry(in.get(), entry->d_name, out.get(), entry->d_name, error))
            return false;
        errno = 0;
    }
    if (errno != 0 || !copyMetadata(in.get(), out.get(), status)) {
        error = lastError();
        return false;
    }
    return true;
}

bool copyEntry(int sourceDir, const char* sourceName, int destinationDir, const char* destinationName,
               std::error_code& error)
{
    struct stat status {};
    if (fstatat(sourceDir, sourceName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        error = lastError();
        return false;
    }
    if (S_ISLNK(status.st_mode))
        return copySymlink(sourceDir, sourceName, destinationDir, destinationName, status, error);
    if (S_ISDIR(status.st_mode))
        return copyFolder(sourceDir, sourceName, destinationDir, destinationName, error);
    if (S_ISREG(status.st_mode))
        return copyFile(sourceDir, sourceName, destinationDir, destinationName, error);
    error = std::make_error_code(std::errc::not_supported);
    return false;
}

std::optional<std::string> canonical(const std::string& path)
{
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved)
        return std::nullopt;
    return std::string(resolved.get());
}

// A folder copied into itself would never end.
bool destinationInsideSource(const std::string& source, const std::string& destination)
{
    struct stat status {};
    if (lstat(source.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    const auto slash = destination.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : destination.substr(0, slash);
    const auto from = canonical(source);
    const auto into = canonical(parent);
    if (!from || !into)
        return false;
    return *into == *from || *from == "/" || into->rfind(*from + "/", 0) == 0;
}

} // namespace

bool copyItem(const std::string& source, const std::string& destination, std::error_code& error)
{
    error.clear();
    if (source.empty() || destination.empty()) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    if (destinationInsideSource(source, destination)) {
        error = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    return copyEntry(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), error);
}

} // namespace strataloom
