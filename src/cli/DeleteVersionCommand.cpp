#include "CliReporter.h"
#include "Commands.h"
#include "VersionIndexes.h"

#include "FileVersionStore.h"
#include "Names.h"
#include "VersionEdits.h"

#include <cstdio>

namespace strataloom::cli {

int deleteVersion(const Invocation& invocation)
{
    int exitCode = kExitOk;
    const auto choices = chosenVersions(invocation, exitCode);
    if (!choices)
        return exitCode;
    const bool dryRun = invocation.has("dry-run");
    std::string error;
    const auto removed =
        deleteVersions(FileVersionStore::defaultLocation(), invocation.arguments.at(0), *choices, dryRun, &error);
    if (!removed) {
        printError(error);
        return kExitFailure;
    }
    // The id of each version, then its stored file's path, escaped.
    std::string out;
    for (const FileVersion& version : *removed)
        out += std::string(dryRun ? "would remove " : "removed ") + versionId(version).substr(0, kShownIdDigits) + "\t"
             + printableName(version.URL().path()) + "\n";
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        printError("cannot write the list of what was removed");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
