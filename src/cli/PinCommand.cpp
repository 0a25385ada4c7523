#include "CliReporter.h"
#include "Commands.h"
#include "VersionIndexes.h"

#include "FileVersionStore.h"
#include "VersionEdits.h"

namespace strataloom::cli {

namespace {

int setPinned(const Invocation& invocation, bool pinned)
{
    int exitCode = kExitOk;
    const auto choices = chosenVersions(invocation, exitCode);
    if (!choices)
        return exitCode;
    std::string error;
    if (!setVersionsPinned(FileVersionStore::defaultLocation(), invocation.arguments.at(0), *choices, pinned, &error)) {
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
