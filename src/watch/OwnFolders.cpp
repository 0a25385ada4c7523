#include "OwnFolders.h"

#include "FileVersionStore.h"
#include "StoreLayout.h"
#include "WatchSettings.h"
#include "WatchState.h"

#include <cstdlib>
#include <memory>

namespace strataloom::watch {

namespace {

// `path` canonicalised as far as it exists, the rest appended as given.
std::string canonicalAsFarAsExists(const std::string& path)
{
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    if (resolved)
        return resolved.get();
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return path;
    return canonicalAsFarAsExists(path.substr(0, slash)) + path.substr(slash);
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

bool OwnFolders::isSettingsFile(const struct stat& file) const
{
    const Identity identity{file.st_dev, file.st_ino};
    // Settings are written to a new file renamed over the old one.
    if (m_settingsIdentity != identity)
        m_settingsIdentity = identityOf(m_settingsFile);
    return m_settingsIdentity == identity;
}

} // namespace strataloom::watch
