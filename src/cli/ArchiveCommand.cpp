#include "CliReporter.h"
#include "Commands.h"

#include "archive/ArchiveOperation.h"
#include "platform/FileVersionStore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace strataloom::cli {

namespace {

// FILE or NEW_FOLDER made absolute against the current folder, without "."
// steps. ".." steps stay for the kernel to follow, and no link is resolved, so
// the path names what the shell named.
FileUrl absoluteUrl(const std::string& argument)
{
    const std::string absolute = FileUrl::fromPath(argument).path();
    std::string result;
    std::string::size_type start = 0;
    while (start < absolute.size()) {
        auto slash = absolute.find('/', start);
        if (slash == std::string::npos)
            slash = absolute.size();
        const std::string component = absolute.substr(start, slash - start);
        if (!component.empty() && component != ".")
            result += "/" + component;
        start = slash + 1;
    }
    return FileUrl::fromPath(result.empty() ? std::string("/") : result);
}

} // namespace

int archive(const Invocation& invocation)
{
    const std::string& file = invocation.arguments.at(0);
    const bool folderGiven = invocation.arguments.size() > 1;
    if (file.empty() || (folderGiven && invocation.arguments[1].empty())) {
        printError("archive: an empty argument is not a path");
        return kExitUsage;
    }

    const FileUrl fileURL = absoluteUrl(file);
    struct stat status {};
    if (lstat(fileURL.path().c_str(), &status) != 0) {
        printError(file + ": " + std::strerror(errno));
        return kExitFailure;
    }

    const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(fileURL);
    const FileUrl folder = folderGiven
        ? absoluteUrl(invocation.arguments[1])
        : fileURL.deletingLastPathComponent().appendingPathComponent(parts.proposedFolderName());

    FileVersionStore store;
    CliReporter reporter;
    const ArchiveOutcome outcome = writeVersionsArchive(kResponseOK, folder, fileURL, parts.baseName,
                                                        parts.dottedExtension, store, reporter);
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
