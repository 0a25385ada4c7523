#include "Paths.h"
#include "ErrorMessage.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

std::optional<std::string> realPath(const std::string& path, std::string* error)
{
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) {
        fail(error, errnoMessage("cannot resolve " + path));
        return std::nullopt;
    }
    return std::string(resolved.get());
}

bool makeFolders(const std::string& path, mode_t mode, std::vector<std::string>* made, std::string* error)
{
    if (path.empty()) {
        errno = ENOENT;
        return fail(error, "cannot create a folder without a name");
    }
    // Each level is made, or found, in turn: no earlier look decides what a
    // later mkdir finds, so a folder made meanwhile by another is simply kept.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string level = path.substr(0, end);
        if (mkdir(level.c_str(), mode) == 0) {
            if (made)
                made->push_back(level);
        } else if (errno != EEXIST) {
            return fail(error, errnoMessage("cannot create the folder " + level));
        }
        if (end == std::string::npos)
            break;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return fail(error, errnoMessage("cannot create the folder " + path));
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return fail(error, errnoMessage("cannot create the folder " + path));
    }
    return true;
}

std::string xdgBaseFolder(const char* variable, const std::string& underHome)
{
    const char* base = std::getenv(variable);
    if (base && base[0] == '/')
        return base;
    std::string home;
    if (const char* value = std::getenv("HOME"); value && value[0])
        home = value;
    else if (const struct passwd* user = getpwuid(getuid()))
        home = user->pw_dir;
    return home + "/" + underHome;
}

} // namespace strataloom
