#include "ItemCopy.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "Paths.h"
#include "SparseCopy.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace strataloom {

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

FileTime fromTimespec(const struct timespec& time)
{
    return {time.tv_sec, static_cast<std::uint32_t>(time.tv_nsec)};
}

// Copies the whole of `in` to `out`, holes kept: a reflink when the file
// system shares extents, else copy_file_range, else plain reads and writes.
bool copyContents(int in, int out, const struct stat& status)
{
    CopyMethod method;
    return copyKeepingHoles(in, out, static_cast<std::uint64_t>(status.st_size), nullptr, kBufferSize, method, true)
        .has_value();
}

// An item taking part in a copy: its name in an open folder, and its path for
// messages.
struct Place {
    int folder;
    const char* name;
    std::string path;

    Place entry(int fd, const char* entryName) const { return {fd, entryName, path + "/" + entryName}; }
};

// Gives `out` the permissions and dates of `in`, dates last so nothing after
// them moves the modification date.
bool copyMetadata(int in, int out, const struct stat& status, const std::string& destinationPath, std::string* error)
{
    copyUserAttributes(in, out, false);
    const std::optional<FileDates> dates = readDates(in, error);
    if (!dates)
        return false;
    if (!copyPermissions(status, out))
        return fail(error, errnoMessage("cannot set the permissions of " + destinationPath));
    return setDates(out, *dates, fromTimespec(status.st_atim), error);
}

bool copyEntry(const Place& source, const Place& destination, std::string* error);

// The item at `source`, open for reading, and its status.
UniqueFd openSource(const Place& source, struct stat& status, std::string* error)
{
    UniqueFd in(openat(source.folder, source.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid())
        fail(error, errnoMessage("cannot open " + source.path));
    else if (fstat(in.get(), &status) != 0) {
        fail(error, errnoMessage("cannot examine " + source.path));
        in.reset();
    }
    return in;
}

// Creates the new file `destination`, never through anything already there.
UniqueFd createFile(const Place& destination)
{
    return UniqueFd(
        openat(destination.folder, destination.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

// Fills the just created `out` from `in`; on failure `out` is closed and removed.
bool fillFile(int in, const struct stat& status, const std::string& sourcePath, UniqueFd& out, const Place& destination,
              std::string* error)
{
    bool copied = copyContents(in, out.get(), status);
    if (!copied)
        fail(error, errnoMessage("cannot copy the contents of " + sourcePath + " to " + destination.path));
    else
        copied = copyMetadata(in, out.get(), status, destination.path, error);
    if (copied)
        return true;
    out.reset();
    unlinkat(destination.folder, destination.name, 0);
    return false;
}

bool copyFile(const Place& source, const Place& destination, std::string* error)
{
    struct stat status {};
    const UniqueFd in = openSource(source, status, error);
    if (!in.valid())
        return false;
    if (!S_ISREG(status.st_mode)) // replaced since it was examined
        return fail(error, "cannot copy " + source.path + ": it was replaced while being copied");
    UniqueFd out = createFile(destination);
    if (!out.valid())
        return fail(error, errnoMessage("cannot create " + destination.path));
    return fillFile(in.get(), status, source.path, out, destination, error);
}

bool copySymlink(const Place& source, const Place& destination, const struct stat& status, std::string* error)
{
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t length = readlinkat(source.folder, source.name, target.data(), target.size());
    if (length < 0)
        return fail(error, errnoMessage("cannot read the link " + source.path));
    if (static_cast<std::size_t>(length) >= target.size())
        return fail(error, "cannot copy the link " + source.path + ": it changed while being copied");
    target.resize(static_cast<std::size_t>(length));
    if (symlinkat(target.c_str(), destination.folder, destination.name) != 0)
        return fail(error, errnoMessage("cannot create " + destination.path));
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    if (utimensat(destination.folder, destination.name, times, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(error, errnoMessage("cannot set the dates of the link " + destination.path));
    return true;
}

bool copyFolder(const Place& source, const Place& destination, std::string* error)
{
    UniqueFd in(openat(source.folder, source.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!in.valid() || fstat(in.get(), &status) != 0)
        return fail(error, errnoMessage("cannot open the folder " + source.path));
    if (mkdirat(destination.folder, destination.name, 0700) != 0)
        return fail(error, errnoMessage("cannot create the folder " + destination.path));
    UniqueFd out(openat(destination.folder, destination.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid())
        return fail(error, errnoMessage("cannot open the folder " + destination.path));
    const auto names = folderEntries(in.get());
    if (!names)
        return fail(error, errnoMessage("cannot list the folder " + source.path));
    for (const std::string& name : *names) {
        if (!copyEntry(source.entry(in.get(), name.c_str()), destination.entry(out.get(), name.c_str()), error))
            return false;
    }
    return copyMetadata(in.get(), out.get(), status, destination.path, error);
}

bool copyEntry(const Place& source, const Place& destination, std::string* error)
{
    struct stat status {};
    if (fstatat(source.folder, source.name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(error, errnoMessage("cannot examine " + source.path));
    if (S_ISLNK(status.st_mode))
        return copySymlink(source, destination, status, error);
    if (S_ISDIR(status.st_mode))
        return copyFolder(source, destination, error);
    if (S_ISREG(status.st_mode))
        return copyFile(source, destination, error);
    return fail(error, "cannot copy " + source.path + ": it is not a file, a folder or a symbolic link");
}

// A folder copied into itself would never end.
bool destinationInsideSource(const std::string& source, const std::string& destination)
{
    struct stat status {};
    if (lstat(source.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    const auto slash = destination.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : destination.substr(0, slash);
    const auto from = realPath(source);
    const auto into = realPath(parent);
    if (!from || !into)
        return false;
    return *into == *from || *from == "/" || into->rfind(*from + "/", 0) == 0;
}

// A hidden name beside `name` for a copy in progress, "." + name + ".part",
// numbered past leftovers of copies cut short. A long name is cut, but never
// inside a UTF-8 sequence, to keep within the longest name a folder takes.
std::string temporaryName(const std::string& name, unsigned attempt)
{
    // Appended piece by piece: GCC's -O3 takes a literal prepended to a
    // temporary string for an overlapping copy (-Wrestrict).
    std::string suffix = ".";
    if (attempt != 0)
        suffix.append(std::to_string(attempt)).append(".");
    suffix.append("part");
    std::size_t kept = std::min(name.size(), static_cast<std::size_t>(NAME_MAX) - 1 - suffix.size());
    while (kept > 0 && kept < name.size() && (static_cast<unsigned char>(name[kept]) & 0xc0) == 0x80)
        --kept;
    return std::string(".").append(name, 0, kept).append(suffix);
}

constexpr unsigned kTemporaryNameAttempts = 100;

// Renames `from` to `to` in `folder` unless `to` exists. A file system that
// cannot rename on that condition (NFS, some FUSE ones) gets a hard link, which
// fails the same way, and the old name removed.
bool renameWithoutReplacing(int folder, const char* from, const char* to)
{
    if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL || linkat(folder, from, folder, to, 0) != 0)
        return false;
    unlinkat(folder, from, 0);
    return true;
}

} // namespace

void copyUserAttributes(int in, int out, bool withOwn)
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
        if (std::strncmp(name, "user.", 5) != 0
            || (!withOwn
                && (std::strcmp(name, kDocumentIdAttribute) == 0 || std::strcmp(name, kCreationDateAttribute) == 0)))
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

bool copyPermissions(const struct stat& source, int out)
{
    struct stat made {};
    if (fstat(out, &made) != 0)
        return false;
    mode_t mode = source.st_mode & 07777;
    if (made.st_uid != source.st_uid)
        mode &= ~(S_ISUID | S_ISGID);
    if (made.st_gid != source.st_gid)
        mode &= ~S_ISGID;
    return fchmod(out, mode) == 0;
}

bool copyFileContents(int in, int out)
{
    struct stat status {};
    return fstat(in, &status) == 0 && copyContents(in, out, status);
}

bool copyItem(const std::string& source, const std::string& destination, std::string* error)
{
    if (source.empty() || destination.empty())
        return fail(error, "cannot copy \"" + source + "\" to \"" + destination + "\": a path is empty");
    if (destinationInsideSource(source, destination))
        return fail(error, "cannot copy the folder " + source + " into itself, to " + destination);
    return copyEntry({AT_FDCWD, source.c_str(), source}, {AT_FDCWD, destination.c_str(), destination}, error);
}

bool copyFileInto(const std::string& source, int folder, const std::string& folderPath, const std::string& name,
                  DurableBatch& batch, std::string* error)
{
    struct stat status {};
    const UniqueFd in = openSource({AT_FDCWD, source.c_str(), source}, status, error);
    return in.valid() && copyFileInto(in.get(), source, folder, folderPath, name, batch, error);
}

bool copyFileInto(int in, const std::string& source, int folder, const std::string& folderPath, const std::string& name,
                  DurableBatch& batch, std::string* error)
{
    struct stat status {};
    if (fstat(in, &status) != 0)
        return fail(error, errnoMessage("cannot examine " + source));
    if (!S_ISREG(status.st_mode))
        return fail(error, "cannot copy " + source + ": it is not a regular file");
    std::string temporary;
    UniqueFd out;
    for (unsigned attempt = 0; !out.valid(); ++attempt) {
        temporary = temporaryName(name, attempt);
        out = createFile({folder, temporary.c_str(), {}});
        if (!out.valid() && (errno != EEXIST || attempt + 1 == kTemporaryNameAttempts))
            return fail(error, errnoMessage("cannot create " + folderPath + "/" + temporary));
    }
    const Place destination{folder, temporary.c_str(), folderPath + "/" + temporary};
    if (!fillFile(in, status, source, out, destination, error))
        return false;
    if (batch.addFile(out.get(), error)) {
        if (renameWithoutReplacing(folder, temporary.c_str(), name.c_str()))
            return true;
        fail(error, errnoMessage("cannot create " + folderPath + "/" + name));
    }
    unlinkat(folder, temporary.c_str(), 0);
    return false;
}

} // namespace strataloom
