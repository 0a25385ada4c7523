#include "CliReporter.h"
#include "Commands.h"

#include "WatchSettings.h"

#include <algorithm>

namespace strataloom::cli {

int watchRemove(const Invocation& invocation)
{
    WatchSettings settings;
    std::vector<std::string> folders = settings.folders();
    bool unknown = false;
    for (const std::string& argument : invocation.arguments) {
        // A folder is named as it was added, or by any path that leads to it
        // now; one that no longer exists only as it was added.
        auto found = std::find(folders.begin(), folders.end(), argument);
        if (found == folders.end()) {
            if (const auto folder = WatchSettings::watchableFolder(argument))
                found = std::find(folders.begin(), folders.end(), *folder);
        }
        if (found == folders.end()) {
            printError(argument + " is not watched");
            unknown = true;
        } else {
            folders.erase(found);
        }
    }
    if (unknown) {
        printError("no folder was removed");
        return kExitFailure;
    }
    settings.setFolders(folders);
    std::string error;
    if (!settings.save(&error)) {
        printError(error);
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
