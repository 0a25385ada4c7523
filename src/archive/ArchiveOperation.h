#pragma once

#include "FileUrl.h"
#include "FileVersion.h"
#include "Reporter.h"

#include <optional>
#include <string>

namespace strataloom {

// The two parts every archive entry name is built from.
struct ArchiveNameParts {
    std::string baseName; // last component without its last extension
    std::string dottedExtension; // "" or "." + extension

    static ArchiveNameParts fromFileUrl(const FileUrl& fileURL);
    // "<baseName> versions"
    std::string proposedFolderName() const;
};

enum class ArchiveOutcome {
    Written, // every version written, or some skipped with a report
    Declined, // response not OK or no location: nothing done, nothing reported
    NoCurrentVersion, // the file does not exist: nothing done, nothing reported
    Failed, // ended with a reported failure
};

// Copies every version of `fileURL` into the new folder `chosenFolder` as
// <baseName><%05d index><dottedExtension>, the current version last, each entry
// carrying its stored file's two dates. An entry takes its name only once it is
// complete, and Written is returned only once every entry is on disk.
ArchiveOutcome writeVersionsArchive(int response, const std::optional<FileUrl>& chosenFolder, const FileUrl& fileURL,
                                    const std::string& baseName, const std::string& dottedExtension,
                                    VersionSource& store, Reporter& reporter);

} // namespace strataloom
