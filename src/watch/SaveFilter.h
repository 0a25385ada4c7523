#pragma once

#include "OwnFolders.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

// The one place that says what the watcher never versions: hidden names,
// the leftovers of editors and downloads and the user's own patterns (for
// files and, so that they are not even watched, folders), anything but a
// regular file, files over the size limit, and Strataloom's own folders.
namespace strataloom::watch {

// Whether `name` matches the glob `pattern` ("*", "?", "[...]", "[!...]", "\"
// escaping the next character), as fnmatch(3) judges it with no flags.
bool matchesPattern(std::string_view pattern, std::string_view name);

class SaveFilter {
public:
    enum class Verdict { Save, ExcludedName, OwnFolder, NotRegular, TooLarge };

    // `own` folders are never watched nor versioned, nor is anything inside them.
    SaveFilter(std::vector<std::string> extraPatterns, std::uint64_t sizeLimit, OwnFolders own);
    // The user's settings, and the user's own folders (OwnFolders::ofUser).
    static SaveFilter fromSettings();

    bool excludesName(std::string_view name) const;
    // Whether `path` (canonical) is one of the own folders or inside one.
    bool isOwn(const std::string& path) const;
    // A folder found inside a watched one that is not to be watched: by its
    // name, or as an own folder.
    bool excludesFolder(const std::string& path) const;
    // Whether the folder open at `fd`, found at `path`, is an own folder (or
    // part of one) reached by whatever path.
    bool isOwnFolder(int fd, const std::string& path) const { return m_own.isOwnFolder(fd, path); }
    // The file at `path` (canonical), of the given lstat.
    Verdict judgeFile(const std::string& path, const struct stat& status) const;
    const OwnFolders& ownFolders() const { return m_own; }

    std::uint64_t sizeLimit() const { return m_sizeLimit; }

private:
    std::vector<std::string> m_patterns;
    std::uint64_t m_sizeLimit;
    OwnFolders m_own;
};

} // namespace strataloom::watch
