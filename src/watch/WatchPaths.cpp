#include "WatchPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::watch {

std::string childPath(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool isWithin(const std::string& path, const std::string& folder)
{
    if (folder == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string nameOf(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

EntryKind kindOf(DIR* folder, const dirent& entry)
{
    switch (entry.d_type) {
    case DT_DIR:
        return EntryKind::Folder;
    case DT_REG:
        return EntryKind::File;
    case DT_UNKNOWN:
        break;
    default:
        return EntryKind::Other;
    }
    struct stat status {};
    if (fstatat(dirfd(folder), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Other;
    return S_ISDIR(status.st_mode) ? EntryKind::Folder : S_ISREG(status.st_mode) ? EntryKind::File : EntryKind::Other;
}

OpenFolder openFolder(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR* folder = fdopendir(fd);
    if (!folder)
        ::close(fd);
    return OpenFolder(folder);
}

} // namespace strataloom::watch
