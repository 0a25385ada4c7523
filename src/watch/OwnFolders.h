#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

// Strataloom's own folders (the version store and its documents and temporary
// folders, the watcher's state folder, the settings folder) and the settings
// file: never watched nor versioned. They are recognised by path, which works
// before they exist, and by device and inode, which also catches a second path
// to them (a bind mount, a second mount of their file system).
namespace strataloom::watch {

class OwnFolders {
public:
    // `folders` are canonicalised here, even when they do not exist yet.
    explicit OwnFolders(const std::vector<std::string>& folders, std::string settingsFile = {});
    // The user's: the default store, the state folder and the settings' folder and file.
    static OwnFolders ofUser();

    // Whether `path` (canonical) is one of the folders or inside one.
    bool containsPath(const std::string& path) const;
    // Whether the folder of this status is one of the folders, by identity.
    // Folders not found before are looked for again.
    bool isOwnFolder(const struct stat& folder) const;
    // The same for the folder open at `fd`, found at `path`, which may also be
    // a mount of a folder inside one of them (a bind mount of part of the store).
    bool isOwnFolder(int fd, const std::string& path) const;
    bool isSettingsFile(const struct stat& file) const;
    // Looks every folder and the settings file up again (one made again is
    // another inode).
    void refresh() const;

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    static std::optional<Identity> identityOf(const std::string& path);
    bool mountsPartOfOne(const std::string& mountPoint) const;

    std::vector<std::string> m_paths;
    std::string m_settingsFile;
    mutable std::vector<std::optional<Identity>> m_identities;
    mutable std::optional<Identity> m_settingsIdentity;
};

} // namespace strataloom::watch
