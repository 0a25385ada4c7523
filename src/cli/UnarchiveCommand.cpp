#include "CliReporter.h"
#include "Commands.h"

#include "FileUrl.h"
#include "FileVersionStore.h"
#include "UnarchiveOperation.h"

#include <filesystem>

namespace strataloom::cli {

namespace {

// FOLDER as an absolute path without "." or ".." steps or a trailing "/", so
// that the folder that contains it is found from any spelling of it. The bytes
// of every name are kept.
std::string absolutePath(const std::string& path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), error);
    if (error)
        absolute = std::filesystem::path(path);
    std::string normal = absolute.lexically_normal().native();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}

} // namespace

int unarchive(const Invocation& invocation)
{
    for (const std::string& argument : invocation.arguments) {
        if (argument.empty()) {
            printError("unarchive: an empty argument is not a path");
            return kExitUsage;
        }
    }
    CliReporter reporter;
    const FileUrl folder = FileUrl::directoryFromPath(absolutePath(invocation.arguments.at(0)));
    const std::optional<UnarchiveSource> source = listUnarchiveSource(folder, reporter);
    if (!source)
        return kExitFailure;

    const FileUrl chosen = invocation.arguments.size() > 1
                             ? FileUrl::fromPath(invocation.arguments[1])
                             : folder.deletingLastPathComponent().appendingPathComponent(source->proposedName);
    FileVersionStore store;
    const UnarchiveOutcome outcome =
        writeUnarchivedFile(kResponseOK, chosen, source->lastFilePath, source->names, source->folder, store, reporter);
    if (outcome == UnarchiveOutcome::Failed && reporter.interrupted())
        printError("interrupted; the new file and the versions added so far are kept: " + chosen.path());
    return reporter.exitCode();
}

} // namespace strataloom::cli
