#include "ArchiveOperation.h"

#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "ItemCopy.h"
#include "VersionCopy.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
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

// The folders create_directories() is about to make for `path`, deepest first:
// each of them, and the parent of each, gains an entry that has to reach the
// disk.
std::vector<std::filesystem::path> missingFolders(const std::string& path)
{
    std::vector<std::filesystem::path> missing;
    std::error_code error;
    for (std::filesystem::path level = path; !level.empty() && !std::filesystem::exists(level, error);
         level = level.parent_path())
        missing.push_back(level);
    return missing;
}

std::string parentOf(const std::filesystem::path& folder)
{
    return folder.has_parent_path() ? folder.parent_path().native() : std::string(".");
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
    const std::vector<std::filesystem::path> madeFolders = missingFolders(folderPath);
    std::error_code error;
    std::filesystem::create_directories(folderPath, error);
    // Entries are made relative to the folder opened here, whatever its path
    // comes to name meanwhile.
    const UniqueFd folder(error ? -1 : open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        reporter.showErrorWithCause(kCouldNotWriteFolder,
                                    error ? "cannot create the folder " + folderPath + ": " + error.message()
                                          : errnoMessage("cannot open the folder " + folderPath));
        return ArchiveOutcome::Failed;
    }

    // The first version is tested once here; the loop does not test it again.
    if (!versions.front().hasLocalContents()) {
        reporter.showError(kFirstNotLocal);
        return ArchiveOutcome::Failed;
    }

    DurableBatch batch;
    std::string cause;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        if (reporter.shouldStop())
            return ArchiveOutcome::Failed;
        const FileVersion& version = versions[i];
        if (i > 0 && !version.hasLocalContents()) {
            reporter.showError(kSomeNotLocal);
            continue;
        }
        const std::string name = entryName(baseName, i, dottedExtension);
        reporter.progress(i, versions.size(), name);
        // Stored contents are opened relative to the store, never through a link in it.
        const UniqueFd contents = version.openContents();
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
    for (const std::filesystem::path& made : madeFolders) {
        batch.addFolder(made.native());
        batch.addFolder(parentOf(made));
    }
    if (!batch.flush(&cause)) {
        reporter.showErrorWithCause(kCouldNotWriteFolder, cause);
        return ArchiveOutcome::Failed;
    }
    return ArchiveOutcome::Written;
}

} // namespace strataloom
