#include "WatcherUnit.h"
#include "Names.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string homeFolder()
{
    if (const std::string home = environment("HOME"); !home.empty())
        return home;
    const struct passwd* user = getpwuid(getuid());
    return user ? user->pw_dir : "";
}

// An XDG variable's folder, or `fallback` when it is unset or not absolute.
std::string xdgFolder(const char* name, const std::string& fallback)
{
    const std::string value = environment(name);
    return value.starts_with('/') ? value : fallback;
}

// An XDG list of folders; relative entries are ignored, as the XDG base directory rules have it.
std::vector<std::string> xdgFolders(const char* name, const std::string& fallback)
{
    std::string value = environment(name);
    if (value.empty())
        value = fallback;
    std::vector<std::string> folders;
    std::stringstream list(value);
    for (std::string folder; std::getline(list, folder, ':');)
        if (folder.starts_with('/'))
            folders.push_back(folder);
    return folders;
}

bool sameFolder(const struct stat& a, const std::string& path)
{
    struct stat b {};
    return ::stat(path.c_str(), &b) == 0 && S_ISDIR(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

std::vector<std::string> userUnitSearchPath()
{
    const std::string home = homeFolder();
    const std::string config = xdgFolder("XDG_CONFIG_HOME", home + "/.config");
    const std::string data = xdgFolder("XDG_DATA_HOME", home + "/.local/share");
    const std::string runtime = xdgFolder("XDG_RUNTIME_DIR", "");
    std::vector<std::string> path{config + "/systemd/user.control"};
    if (!runtime.empty())
        for (const char* folder : {"/systemd/user.control", "/systemd/transient", "/systemd/generator.early"})
            path.push_back(runtime + folder);
    path.push_back(config + "/systemd/user");
    for (const std::string& folder : xdgFolders("XDG_CONFIG_DIRS", "/etc/xdg"))
        path.push_back(folder + "/systemd/user");
    path.push_back("/etc/systemd/user");
    if (!runtime.empty())
        path.push_back(runtime + "/systemd/user");
    path.push_back("/run/systemd/user");
    if (!runtime.empty())
        path.push_back(runtime + "/systemd/generator");
    path.push_back(data + "/systemd/user");
    for (const std::string& folder : xdgFolders("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))
        path.push_back(folder + "/systemd/user");
    for (const char* folder : {"/usr/local/share/systemd/user", "/usr/share/systemd/user",
                               "/usr/local/lib/systemd/user", "/usr/lib/systemd/user", "/lib/systemd/user"})
        path.push_back(folder);
    if (!runtime.empty())
        path.push_back(runtime + "/systemd/generator.late");
    return path;
}

std::string watcherUnitReference(const std::string& executable, const std::vector<std::string>& searchPath)
{
    const std::filesystem::path prefix = std::filesystem::path(executable).parent_path().parent_path();
    const std::filesystem::path folder = prefix / "lib/systemd/user";
    const std::string unit = (folder / kWatcherUnitName).native();
    struct stat status {};
    struct stat folderStatus {};
    if (!executable.starts_with('/') || ::stat(unit.c_str(), &status) != 0 || !S_ISREG(status.st_mode)
        || ::stat(folder.c_str(), &folderStatus) != 0)
        return kWatcherUnitName;
    // Compared by identity, so that /lib and /usr/lib, or a folder reached
    // through a link, count as the same.
    for (const std::string& searched : searchPath)
        if (sameFolder(folderStatus, searched))
            return kWatcherUnitName;
    return unit;
}

std::string watcherUnitReference()
{
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return watcherUnitReference(error ? std::string() : executable.native(), userUnitSearchPath());
}

std::string startWatcherCommand()
{
    return "systemctl --user enable --now " + shellWord(watcherUnitReference());
}

} // namespace strataloom
