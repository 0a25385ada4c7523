#include "CliReporter.h"
#include "Commands.h"
#include "VersionIndexes.h"

#include "FileVersionStore.h"
#include "VersionEdits.h"

#include <cstdio>

namespace strataloom::cli {

int deleteVersion(const Invocation& invocation)
{
    std::string bad;
    const auto indexes = versionIndexes({invocation.arguments.begin() + 1, invocation.arguments.end()}, bad);
    if (!indexes) {
        printError("'" + bad + "' is not a version number, as versions lists them");
        return kExitUsage;
    }
    const bool dryRun = invocation.has("dry-run");
    std::string error;
    const auto removed =
        deleteVersions(FileVersionStore::defaultLocation(), invocation.arguments.at(0), *indexes, dryRun, &error);
    if (!removed) {
        printError(error);
        return kExitFailure;
    }
    std::string out;
    for (std::size_t i = 0; i < removed->size(); ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%05zu", (*indexes)[i]);
        out += std::string(dryRun ? "would remove " : "removed ") + number + "\t" + (*removed)[i].URL().path() + "\n";
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        printError("cannot write the list of what was removed");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
