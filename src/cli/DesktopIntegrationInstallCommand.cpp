#include "CliReporter.h"
#include "Commands.h"
#include "NautilusScripts.h"

#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "Paths.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::cli {

namespace {

// Writes `contents` as the executable `path`, whole or not at all.
bool writeScript(const std::string& path, const std::string& contents, std::string* error)
{
    const std::string temporary = temporaryScriptPath(path);
    const UniqueFd out(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755));
    if (!out.valid())
        return fail(error, errnoMessage("cannot create " + temporary));
    const bool written = write(out.get(), contents.data(), contents.size()) == static_cast<ssize_t>(contents.size())
                      && fchmod(out.get(), 0755) == 0 && fsync(out.get()) == 0;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        fail(error, errnoMessage("cannot write " + path));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace

int desktopIntegrationInstall(const Invocation&)
{
    const std::string folder = nautilusScriptFolder();
    // Nothing is written unless every script can be: an item of that name
    // that is not one of ours is the user's own, and stays.
    bool refused = false;
    for (const NautilusScript& script : nautilusScripts()) {
        const std::string path = folder + "/" + script.name;
        const std::string temporary = temporaryScriptPath(path);
        std::error_code error;
        if (std::filesystem::exists(std::filesystem::symlink_status(path, error))
            && !isInstalledScript(script, regularFileContents(path))) {
            printError(path + " exists and is not the script this command writes; move it away first");
            refused = true;
        }
        if (std::filesystem::exists(std::filesystem::symlink_status(temporary, error))
            && !isLeftoverOfInstall(script, temporary)) {
            printError(temporary + " is in the way and is not a leftover of this command; remove it first");
            refused = true;
        }
    }
    if (refused) {
        printError("no script was installed");
        return kExitFailure;
    }
    std::string madeError;
    if (!makeFolders(folder, 0777, nullptr, &madeError)) {
        printError(madeError);
        return kExitFailure;
    }
    for (const NautilusScript& script : nautilusScripts()) {
        const std::string path = folder + "/" + script.name;
        // What an install cut short left behind, checked above.
        const std::string temporary = temporaryScriptPath(path);
        if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
            printError(errnoMessage("cannot remove " + temporary));
            return kExitFailure;
        }
        std::string error;
        if (regularFileContents(path) != script.contents && !writeScript(path, script.contents, &error)) {
            printError(error);
            return kExitFailure;
        }
    }
    std::printf("Installed the GNOME Files scripts in %s; they are under Scripts in the menu of a selected item.\n",
                folder.c_str());
    return kExitOk;
}

} // namespace strataloom::cli
