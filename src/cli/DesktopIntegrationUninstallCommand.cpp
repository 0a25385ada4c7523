#include "CliReporter.h"
#include "Commands.h"
#include "NautilusScripts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <unistd.h>

namespace strataloom::cli {

int desktopIntegrationUninstall(const Invocation&)
{
    const std::string folder = nautilusScriptFolder();
    bool kept = false;
    std::size_t removed = 0;
    for (const NautilusScript& script : nautilusScripts()) {
        const std::string path = folder + "/" + script.name;
        // A leftover of an install cut short goes with its script.
        if (const std::string temporary = temporaryScriptPath(path);
            isLeftoverOfInstall(script, temporary) && unlink(temporary.c_str()) != 0) {
            printError("cannot remove " + temporary + ": " + std::strerror(errno));
            kept = true;
        }
        std::error_code error;
        const auto status = std::filesystem::symlink_status(path, error);
        if (!std::filesystem::exists(status))
            continue;
        // Only a script exactly as install wrote it is ours to remove.
        if (!isInstalledScript(script, regularFileContents(path))) {
            printError("left " + path + ": it is not the script install wrote");
            kept = true;
        } else if (unlink(path.c_str()) != 0) {
            printError("cannot remove " + path + ": " + std::strerror(errno));
            kept = true;
        } else {
            ++removed;
        }
    }
    // The folder goes only when nothing else is in it.
    if (rmdir(folder.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST) {
        printError("cannot remove the folder " + folder + ": " + std::strerror(errno));
        kept = true;
    }
    if (removed > 0)
        std::printf("Removed the GNOME Files scripts from %s.\n", folder.c_str());
    return kept ? kExitFailure : kExitOk;
}

} // namespace strataloom::cli
