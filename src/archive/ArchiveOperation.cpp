#include "ArchiveOperation.h"

#include "FileAttributes.h"
#include "ItemCopy.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

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

// Copies the stored contents of `version` to `entryPath` and gives the copy the
// stored file's own dates.
bool writeEntry(const FileVersion& version, const std::string& entryPath)
{
    const std::string storedPath = version.URL().path();
    if (!copyItem(storedPath, entryPath))
        return false;
    const std::optional<FileDates> dates = readDates(storedPath);
    return dates && setDates(entryPath, *dates);
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
    std::error_code error;
    std::filesystem::create_directories(folderPath, error);
    if (error || !std::filesystem::is_directory(folderPath, error)) {
        reporter.showError(kCouldNotWriteFolder);
        return ArchiveOutcome::Failed;
    }

    // The first version is tested once here; the loop does not test it again.
    if (!versions.front().hasLocalContents()) {
        reporter.showError(kFirstNotLocal);
        return ArchiveOutcome::Failed;
    }

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
        if (!writeEntry(version, folderPath + "/" + name)) {
            reporter.showError(kCouldNotWriteFolder);
            return ArchiveOutcome::Failed;
        }
    }
    return ArchiveOutcome::Written;
}

} // namespace strataloom
