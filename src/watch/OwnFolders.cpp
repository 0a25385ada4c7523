#include "OwnFolders.h"
#include "Paths.h"

#include "FileVersionStore.h"
#include "StoreLayout.h"
#include "WatchSettings.h"
#include "WatchState.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace strataloom::watch {

namespace {

// `path` canonicalised as far as it exists, the rest appended as given.
std::string canonicalAsFarAsExists(const std::string& path)
{
    if (auto resolved = realPath(path))
        return *resolved;
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return path;
    return canonicalAsFarAsExists(path.substr(0, slash)) + path.substr(slash);
}

struct Mount {
    std::string device; // "major:minor"
    std::string root; // the folder of its file system mounted
    std::string point;
};

// A field of the mount table, whose spaces, tabs, newlines and backslashes
// are written as octal escapes.
std::string unescaped(const std::string& field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

std::vector<Mount> mounts()
{
    std::vector<Mount> table;
    std::ifstream file("/proc/self/mountinfo");
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (fields >> id >> parent >> device >> root >> point)
            table.push_back({device, unescaped(root), unescaped(point)});
    }
    return table;
}

bool isWithinOrSame(const std::string& path, const std::string& folder)
{
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

// The mount `path` is seen through: the last of those on the longest prefix.
const Mount* mountOf(const std::vector<Mount>& table, const std::string& path)
{
    const Mount* found = nullptr;
    for (const Mount& mount : table)
        if (isWithinOrSame(path, mount.point) && (!found || mount.point.size() >= found->point.size()))
            found = &mount;
    return found;
}

} // namespace

OwnFolders::OwnFolders(const std::vector<std::string>& folders, std::string settingsFile)
    : m_settingsFile(settingsFile.empty() ? settingsFile : canonicalAsFarAsExists(settingsFile))
{
    for (const std::string& folder : folders)
        m_paths.push_back(canonicalAsFarAsExists(folder));
    refresh();
}

OwnFolders OwnFolders::ofUser()
{
    const store::StoreLayout store(FileVersionStore::defaultLocation());
    const std::string settingsFile = WatchSettings().fileName();
    return OwnFolders({store.location(), store.documentsFolder(), store.temporaryFolder(), watchStateFolder(),
                       settingsFile.substr(0, settingsFile.find_last_of('/'))},
                      settingsFile);
}

std::optional<OwnFolders::Identity> OwnFolders::identityOf(const std::string& path)
{
    struct stat status {};
    if (path.empty() || stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return Identity{status.st_dev, status.st_ino};
}

void OwnFolders::refresh() const
{
    m_identities.clear();
    for (const std::string& path : m_paths)
        m_identities.push_back(identityOf(path));
    m_settingsIdentity = identityOf(m_settingsFile);
}

bool OwnFolders::containsPath(const std::string& path) const
{
    for (const std::string& folder : m_paths) {
        if (path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0
            && (path.size() == folder.size() || path[folder.size()] == '/'))
            return true;
    }
    return !m_settingsFile.empty() && path == m_settingsFile;
}

bool OwnFolders::isOwnFolder(const struct stat& folder) const
{
    const Identity identity{folder.st_dev, folder.st_ino};
    for (std::size_t i = 0; i < m_paths.size(); ++i) {
        if (!m_identities[i])
            m_identities[i] = identityOf(m_paths[i]);
        if (m_identities[i] == identity)
            return true;
    }
    return false;
}

bool OwnFolders::isOwnFolder(int fd, const std::string& path) const
{
    struct statx status {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_INO, &status) != 0)
        return false;
    struct stat identity {};
    identity.st_dev = makedev(status.stx_dev_major, status.stx_dev_minor);
    identity.st_ino = status.stx_ino;
    if (isOwnFolder(identity))
        return true;
    return (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (status.stx_attributes & STATX_ATTR_MOUNT_ROOT)
        && mountsPartOfOne(path);
}

bool OwnFolders::mountsPartOfOne(const std::string& mountPoint) const
{
    const std::vector<Mount> table = mounts();
    const Mount* mount = mountOf(table, mountPoint);
    if (!mount || mount->point != mountPoint)
        return false;
    for (const std::string& folder : m_paths) {
        // The folder as a path inside its file system, to compare with what
        // the mount shows of that file system.
        const Mount* own = mountOf(table, folder);
        if (!own || own->device != mount->device)
            continue;
        const std::string inside = folder.substr(own->point == "/" ? 0 : own->point.size());
        const std::string onFileSystem = own->root == "/" ? (inside.empty() ? "/" : inside) : own->root + inside;
        if (isWithinOrSame(mount->root, onFileSystem))
            return true;
    }
    return false;
}

bool OwnFolders::isSettingsFile(const struct stat& file) const
{
    const Identity identity{file.st_dev, file.st_ino};
    // Settings are written to a new file renamed over the old one.
    if (m_settingsIdentity != identity)
        m_settingsIdentity = identityOf(m_settingsFile);
    return m_settingsIdentity == identity;
}

} // namespace strataloom::watch
