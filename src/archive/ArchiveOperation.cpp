#include "ArchiveOperation.h"

#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "ItemCopy.h"
#include "Paths.h"
#include "ReadingSession.h"
#include "VersionCopy.h"

#include <cstdio>
#include <vector>

#include <fcntl.h>

namespace strataloom {

namespace {

// Five digits keep every index of the largest accepted list, and make the string
// order of the entry names their version order.
constexpr std::size_t kMaximumOtherVersions = 99998;

const QString kCouldNotGetVersions = QStringLiteral("Couldn't get versions.");
const QString kNoVersions = QStringLiteral("No versions available.");
const QString kTooManyVersions = QStringLiteral("Too many versions available.");
const QString kCouldNotWriteFolder = QStringLiteral("Couldn't create or write folder.");
const QString kFirstNotLocal = QStringLiteral("Versions aren't stored locally. Download and try again.");
const QString kSomeNotLocal = QStringLiteral("Some versions aren't stored locally.");

std::string entryName(const std::string& baseName, std::size_t index, const std::string& dottedExtension)
{
    char digits[24];
    std::snprintf(digits, sizeof digits, "%05zu", index);
    return baseName + digits + dottedExtension;
}

std::string parentOf(const std::string& folder)
{
    const auto slash = folder.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : folder.substr(0, slash);
}

} // namespace

ArchiveNameParts ArchiveNameParts::fromFileUrl(const FileUrl& fileURL)
{
    const std::string extension = fileURL.pathExtension();
    return {fileURL.deletingPathExtension().lastPathComponent(), extension.empty() ? std::string() : "." + extension};
}

std::string ArchiveNameParts::proposedFolderName() const
{
    return baseName + " versions";
}

ArchiveOutcome writeVersionsArchive(int response, const std::optional<FileUrl>& chosenFolder, const FileUrl& fileURL,
                                    const std::string& baseName, const std::string& dottedExtension,
                                    VersionSource& store, Reporter& reporter)
{
    if (response != kResponseOK || !chosenFolder)
        return ArchiveOutcome::Declined;

    std::optional<std::vector<FileVersion>> others = store.otherVersionsOfItem(fileURL);
    if (!others) {
        reporter.showError(kCouldNotGetVersions);
        return ArchiveOutcome::Failed;
    }
    if (others->empty()) {
        reporter.showError(kNoVersions);
        return ArchiveOutcome::Failed;
    }
    if (others->size() > kMaximumOtherVersions) {
        reporter.showError(kTooManyVersions);
        return ArchiveOutcome::Failed;
    }

    std::optional<FileVersion> current = store.currentVersionOfItem(fileURL);
    if (!current)
        return ArchiveOutcome::NoCurrentVersion;
    std::vector<FileVersion> versions = std::move(*others);
    versions.push_back(std::move(*current));

    const std::string folderPath = chosenFolder->path();
    // Each folder made gains an entry, and so does its parent: both have to
    // reach the disk.
    std::vector<std::string> madeFolders;
    std::string madeError;
    const bool folderMade = makeFolders(folderPath, 0777, &madeFolders, &madeError);
    // Entries are made relative to the folder opened here, whatever its path
    // comes to name meanwhile.
    const UniqueFd folder(folderMade ? open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    if (!folder.valid()) {
        reporter.showErrorWithCause(kCouldNotWriteFolder,
                                    folderMade ? errnoMessage("cannot open the folder " + folderPath) : madeError);
        return ArchiveOutcome::Failed;
    }

    // Versions of one document are read in a row: each record of their
    // chains is decoded once for the whole archive.
    store::ReadingSession session;
    // The first version is tested once here; the loop does not test it again.
    if (!versions.front().hasLocalContents(session)) {
        reporter.showError(kFirstNotLocal);
        return ArchiveOutcome::Failed;
    }

    DurableBatch batch;
    std::string cause;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        if (reporter.shouldStop())
            return ArchiveOutcome::Failed;
        const FileVersion& version = versions[i];
        if (i > 0 && !version.hasLocalContents(session)) {
            reporter.showError(kSomeNotLocal);
            continue;
        }
        const std::string name = entryName(baseName, i, dottedExtension);
        reporter.progress(i, versions.size(), name);
        // Stored contents are opened relative to the store, never through a link in it.
        const UniqueFd contents = version.openContents(session);
        if (!contents.valid())
            cause = errnoMessage("cannot open " + version.URL().path());
        if (!contents.valid()
            || !copyFileInto(contents.get(), version.URL().path(), folder.get(), folderPath, name, batch, &cause)
            || !giveRecordedDates(folder.get(), name, version, &cause)) {
            reporter.showErrorWithCause(kCouldNotWriteFolder, cause);
            return ArchiveOutcome::Failed;
        }
    }
    // Success is reported only once the entries, and the folders naming them,
    // would survive a power cut.
    batch.addFolder(folderPath);
    for (const std::string& made : madeFolders) {
        batch.addFolder(made);
        batch.addFolder(parentOf(made));
    }
    if (!batch.flush(&cause)) {
        reporter.showErrorWithCause(kCouldNotWriteFolder, cause);
        return ArchiveOutcome::Failed;
    }
    return ArchiveOutcome::Written;
}

} // namespace strataloom
