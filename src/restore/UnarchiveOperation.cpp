#include "UnarchiveOperation.h"

#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "ItemCopy.h"
#include "Names.h"
#include "Paths.h"

#include <QString>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

namespace {

const QString kCouldNotCreate = QStringLiteral("Couldn't create unarchived file.");

// Digits that archiving appends to every entry's base name.
constexpr std::size_t kIndexWidth = 5;

std::string entryPath(const std::string& folderPath, const std::string& name)
{
    if (!folderPath.empty() && folderPath.back() == '/')
        return folderPath + name;
    return folderPath + "/" + name;
}

// The entry names of the folder, as raw bytes, without hidden names; none when
// the folder cannot be read to its end.
std::optional<std::vector<std::string>> visibleNames(const std::string& folderPath, std::string* error)
{
    const UniqueFd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        fail(error, errnoMessage("cannot open the folder " + folderPath));
        return std::nullopt;
    }
    auto names = folderEntries(folder.get());
    if (!names) {
        fail(error, errnoMessage("cannot list the folder " + folderPath));
        return std::nullopt;
    }
    std::erase_if(*names, [](const std::string& name) { return name.front() == '.'; });
    return names;
}

// What the new file is copied from: the last entry itself when it is a file or a
// folder, the file a symlink points at, or none for anything else (a dangling
// link, a link to a folder, a pipe or a device, which would block or make no
// document).
std::optional<std::string> copySource(const std::string& lastFilePath, std::string* error)
{
    struct stat info {};
    if (lstat(lastFilePath.c_str(), &info) != 0) {
        fail(error, errnoMessage("cannot examine " + lastFilePath));
        return std::nullopt;
    }
    if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
        return lastFilePath;
    if (!S_ISLNK(info.st_mode) || stat(lastFilePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        fail(error, "cannot copy " + lastFilePath + ": it is neither a file, a folder nor a link to a file");
        return std::nullopt;
    }
    auto target = realPath(lastFilePath);
    if (!target)
        fail(error, errnoMessage("cannot follow the link " + lastFilePath));
    return target;
}

// The new file's contents, its id and dates (fsync, not fdatasync), and its
// name in its folder, on stable storage.
bool makeDurable(const std::string& path, std::string* error)
{
    UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid())
        return fail(error, errnoMessage("cannot open " + path));
    if (fsync(file.get()) != 0)
        return fail(error, errnoMessage("cannot write " + path + " to disk"));
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    return syncFolder(folder, error);
}

} // namespace

std::optional<UnarchiveSource> listUnarchiveSource(const FileUrl& folder, Reporter& reporter)
{
    const std::string folderPath = folder.path();
    std::string cause;
    std::optional<std::vector<std::string>> names = visibleNames(folderPath, &cause);
    if (!names) {
        reporter.showErrorWithCause(QStringLiteral("Couldn't get contents of folder."), cause);
        return std::nullopt;
    }
    if (names->empty()) {
        reporter.showError(QStringLiteral("The folder is empty."));
        return std::nullopt;
    }
    sortNames(*names);

    UnarchiveSource source;
    source.folder = folder;
    source.lastFilePath = entryPath(folderPath, names->back());
    const FileUrl lastFile = FileUrl::fromPath(source.lastFilePath);
    std::string base = lastFile.deletingPathExtension().lastPathComponent();
    if (characterCount(base) > kIndexWidth)
        base = droppingLastCharacters(base, kIndexWidth);
    const std::string extension = lastFile.pathExtension();
    source.proposedName = base + "-Copy" + (extension.empty() ? "" : "." + extension);
    source.names = std::move(*names);
    return source;
}

UnarchiveOutcome writeUnarchivedFile(int response, const std::optional<FileUrl>& chosenFile,
                                     const std::string& lastFilePath, const std::vector<std::string>& names,
                                     const FileUrl& folder, FileVersionStore& store, Reporter& reporter)
{
    if (response != kResponseOK || !chosenFile || chosenFile->isEmpty())
        return UnarchiveOutcome::Declined;
    const std::string destination = chosenFile->path();
    const std::size_t total = names.size();

    reporter.progress(0, total, names.empty() ? lastFilePath : names.back());
    std::string cause;
    const std::optional<std::string> source = copySource(lastFilePath, &cause);
    if (!source || !copyItem(*source, destination, &cause)) {
        reporter.showErrorWithCause(kCouldNotCreate, cause);
        return UnarchiveOutcome::Failed;
    }
    // The file made here starts a history of its own, whatever stood at its
    // path before.
    const FileUrl item = FileUrl::fromPath(destination);
    const bool started = store.beginVersionsOfNewItem(item, &cause);
    if (total < 2) {
        // Nothing to add: the new file only ends the claim of what stood there.
        store.commitVersions();
        reporter.showError(QStringLiteral("Only 1 file to unarchive."));
        return UnarchiveOutcome::Failed;
    }
    // What a failure or a stop leaves is the versions staged before it,
    // listed; the failure's own cause is the one reported.
    const auto stop = [&](bool report) {
        std::string commitFailure;
        if (!store.commitVersions(&commitFailure) && cause.empty())
            cause = commitFailure;
        if (report)
            reporter.showErrorWithCause(kCouldNotCreate, cause);
        return UnarchiveOutcome::Failed;
    };
    if (!started)
        return stop(true);

    const std::string folderPath = folder.path();
    for (std::size_t i = 0; i + 1 < total; ++i) {
        if (reporter.shouldStop())
            return stop(false);
        reporter.progress(i + 1, total, names[i]);
        const std::string contents = entryPath(folderPath, names[i]);
        // A regular file, reached directly or through a symlink, opened once.
        if (!store.stageVersion(FileUrl::fromPath(contents), &cause))
            return stop(true);
    }
    // Success is reported only once the new file and all its versions would
    // survive a power cut; the file first, so that the index never names a
    // document a power cut could take away, or take its id from.
    if (!makeDurable(destination, &cause) || !store.commitVersions(&cause))
        return stop(true);
    return UnarchiveOutcome::Written;
}

} // namespace strataloom
