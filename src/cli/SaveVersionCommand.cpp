#include "CliReporter.h"
#include "Commands.h"

#include "FileVersionStore.h"

namespace strataloom::cli {

int saveVersion(const Invocation& invocation)
{
    FileVersionStore store;
    std::string error;
    if (!store.saveVersionOfItem(FileUrl::fromPath(invocation.arguments.at(0)), &error)) {
        printError(error);
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
