#include "CliReporter.h"
#include "Commands.h"
#include "VersionIndexes.h"

#include "FileVersionStore.h"
#include "VersionEdits.h"

namespace strataloom::cli {

namespace {

int setPinned(const Invocation& invocation, bool pinned)
{
    std::string bad;
    const auto indexes = versionIndexes({invocation.arguments.begin() + 1, invocation.arguments.end()}, bad);
    if (!indexes) {
        printError("'" + bad + "' is not a version number, as versions lists them");
        return kExitUsage;
    }
    std::string error;
    if (!setVersionsPinned(FileVersionStore::defaultLocation(), invocation.arguments.at(0), *indexes, pinned, &error)) {
        printError(error);
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace

int pin(const Invocation& invocation)
{
    return setPinned(invocation, true);
}

int unpin(const Invocation& invocation)
{
    return setPinned(invocation, false);
}

} // namespace strataloom::cli
