#include "VersionCopy.h"

#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "ItemCopy.h"

#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

namespace {

// More than this many copies of one version beside a document is taken as a
// fault rather than searched further.
constexpr unsigned kMaximumAttempts = 1000;

bool exists(int folder, const std::string& name)
{
    struct stat status {};
    return fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

bool giveRecordedDates(int folder, const std::string& name, const FileVersion& version, std::string* error)
{
    if (!version.storedAt() || !version.dates())
        return true;
    const UniqueFd copy(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!copy.valid() || fstat(copy.get(), &status) != 0)
        return fail(error, errnoMessage("cannot set the dates of " + name));
    if (!S_ISREG(status.st_mode))
        return fail(error, "cannot set the dates of " + name + ": it is no longer a regular file");
    return setDates(copy.get(), *version.dates(), std::nullopt, error);
}

std::string restoredCopyName(const FileUrl& document, const FileTime& modification, unsigned attempt)
{
    const std::time_t seconds = static_cast<std::time_t>(modification.seconds);
    std::tm local{};
    char date[32] = "";
    if (localtime_r(&seconds, &local))
        std::strftime(date, sizeof date, "%Y-%m-%d %H.%M", &local);
    // Appended piece by piece: GCC's -O3 takes a literal prepended to a
    // temporary string for an overlapping copy (-Wrestrict).
    std::string name = document.deletingPathExtension().lastPathComponent() + " (version of " + date + ")";
    if (attempt > 1)
        name.append(" ").append(std::to_string(attempt));
    const std::string extension = document.pathExtension();
    if (!extension.empty())
        name.append(".").append(extension);
    return name;
}

std::optional<std::string> restoreVersionAsCopy(const FileVersion& version, const FileUrl& document, std::string* error)
{
    const std::optional<FileDates>& dates = version.dates();
    if (!dates) {
        fail(error, "cannot restore a copy of a version of " + document.path() + ": its dates are unknown");
        return std::nullopt;
    }
    const std::string folderPath = document.deletingLastPathComponent().path();
    const UniqueFd folder(open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        fail(error, errnoMessage("cannot open the folder " + folderPath));
        return std::nullopt;
    }
    DurableBatch batch;
    for (unsigned attempt = 1; attempt <= kMaximumAttempts; ++attempt) {
        const std::string name = restoredCopyName(document, dates->modification, attempt);
        if (exists(folder.get(), name))
            continue;
        // Opened afresh for each attempt, since a failed copy leaves it read part way.
        const UniqueFd contents = version.openContents();
        if (!contents.valid()) {
            fail(error, errnoMessage("cannot read the version at " + version.URL().path()));
            return std::nullopt;
        }
        std::string copyError;
        if (!copyFileInto(contents.get(), version.URL().path(), folder.get(), folderPath, name, batch, &copyError)) {
            // Another program took the name in the meantime: try the next one.
            if (exists(folder.get(), name))
                continue;
            fail(error, copyError);
            return std::nullopt;
        }
        batch.addFolder(folderPath);
        if (!giveRecordedDates(folder.get(), name, version, error) || !batch.flush(error))
            return std::nullopt;
        return folderPath + "/" + name;
    }
    fail(error, "cannot restore a copy beside " + document.path() + ": every name for it is taken");
    return std::nullopt;
}

} // namespace strataloom
