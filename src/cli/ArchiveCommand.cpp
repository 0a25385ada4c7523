#include "CliReporter.h"
#include "Commands.h"

#include "ArchiveOperation.h"
#include "FileVersionStore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace strataloom::cli {

int archive(const Invocation& invocation)
{
    const std::string& file = invocation.arguments.at(0);
    const bool folderGiven = invocation.arguments.size() > 1;
    if (file.empty() || (folderGiven && invocation.arguments[1].empty())) {
        printError("archive: an empty argument is not a path");
        return kExitUsage;
    }

    // Relative paths are taken against the current folder; no link is resolved.
    const FileUrl fileURL = FileUrl::fromPath(file);
    struct stat status {};
    if (lstat(fileURL.path().c_str(), &status) != 0) {
        printError(file + ": " + std::strerror(errno));
        return kExitFailure;
    }

    const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(fileURL);
    const FileUrl folder = folderGiven
                             ? FileUrl::fromPath(invocation.arguments[1])
                             : fileURL.deletingLastPathComponent().appendingPathComponent(parts.proposedFolderName());

    FileVersionStore store;
    CliReporter reporter;
    const ArchiveOutcome outcome =
        writeVersionsArchive(kResponseOK, folder, fileURL, parts.baseName, parts.dottedExtension, store, reporter);
    if (outcome == ArchiveOutcome::NoCurrentVersion) {
        // The window ends silently here; a command has to say why it did nothing.
        printError(file + ": no current version (the file is gone or cannot be read)");
        return kExitFailure;
    }
    if (outcome == ArchiveOutcome::Failed && reporter.interrupted())
        printError("interrupted; the entries written so far are kept in " + folder.path());
    return reporter.exitCode();
}

} // namespace strataloom::cli
