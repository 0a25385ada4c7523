#include "WatchState.h"

#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FileVersionStore.h"
#include "Paths.h"
#include "StoreLayout.h"
#include "StoreLock.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

std::string watchStateFolder()
{
    return xdgBaseFolder("XDG_STATE_HOME", ".local/state") + "/strataloom";
}

std::string watchStatusPath()
{
    return watchStateFolder() + "/watch-status.json";
}

bool makePrivateFolders(const std::string& path, std::string* error)
{
    return makeFolders(path, 0700, nullptr, error);
}

bool makeWatchStateFolder(std::string* error)
{
    const std::string folder = watchStateFolder();
    if (!makePrivateFolders(folder, error))
        return false;
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0)
        return fail(error, errnoMessage("cannot open " + folder));
    if (!S_ISDIR(status.st_mode))
        return fail(error, "cannot use " + folder + ": not a folder");
    if ((status.st_mode & 07777) != 0700 && chmod(folder.c_str(), 0700) != 0)
        return fail(error, errnoMessage("cannot make " + folder + " private"));
    return true;
}

bool watcherRunning()
{
    return store::watcherRuns(store::StoreLayout(FileVersionStore::defaultLocation()));
}

} // namespace strataloom
