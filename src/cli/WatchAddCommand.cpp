#include "CliReporter.h"
#include "Commands.h"

#include "WatchSettings.h"
#include "WatchState.h"
#include "WatcherUnit.h"

#include <algorithm>
#include <cstdio>

namespace strataloom::cli {

int watchAdd(const Invocation& invocation)
{
    WatchSettings settings;
    std::vector<std::string> folders = settings.folders();
    std::vector<std::string> added;
    bool refused = false;
    for (const std::string& argument : invocation.arguments) {
        std::string error;
        const auto folder = WatchSettings::watchableFolder(argument, &error);
        if (!folder) {
            printError(error);
            refused = true;
        } else if (std::find(folders.begin(), folders.end(), *folder) == folders.end()
                   && std::find(added.begin(), added.end(), *folder) == added.end()) {
            added.push_back(*folder);
        }
    }
    // One folder refused keeps the others out too, so that the command can
    // simply be run again once corrected.
    if (refused) {
        printError("no folder was added");
        return kExitFailure;
    }
    if (added.empty())
        return kExitOk;
    folders.insert(folders.end(), added.begin(), added.end());
    settings.setFolders(folders);
    std::string error;
    if (!settings.save(&error)) {
        printError(error);
        return kExitFailure;
    }
    if (!watcherRunning())
        std::printf("The watcher is not running. To start it now and at every login:\n  %s\n",
                    startWatcherCommand().c_str());
    return kExitOk;
}

} // namespace strataloom::cli
