#pragma once

#include "SettingsSchema.h"

#include <QSettings>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The watcher's settings, kept with the user defaults (group "watch" of
// $XDG_CONFIG_HOME/Strataloom/Strataloom.conf): the watched folders, the name
// patterns never versioned beyond the built-in ones, the largest file
// versioned and the free space left on the store's file system. The running watcher notices every change written here.
namespace strataloom {

class WatchSettings {
public:
    static constexpr std::uint64_t kDefaultSizeLimit = std::uint64_t(settings::kWatchSizeLimit.defaultValue);

    // A folder as it is kept: `path` canonicalised (absolute, links resolved),
    // which must be an existing folder outside the version store and the
    // watcher's state folder. Empty, with the reason, otherwise.
    static std::optional<std::string> watchableFolder(const std::string& path, std::string* error = nullptr);

    // The watched folders, as the exact bytes of their paths, in the order added.
    std::vector<std::string> folders() const;
    void setFolders(const std::vector<std::string>& folders);

    // Name patterns, matched against each file's and folder's own name as
    // bytes: "*" any bytes, "?" one byte, "[...]" one of a set ("[!...]" none
    // of it), "\" takes the next character literally.
    std::vector<std::string> excludedPatterns() const;
    void setExcludedPatterns(const std::vector<std::string>& patterns);

    // Files larger than this many bytes are not versioned.
    std::uint64_t sizeLimit() const;
    void setSizeLimit(std::uint64_t bytes);

    // The free space, in bytes, the watcher leaves on the store's file system;
    // empty for the default (FreeSpace.h).
    std::optional<std::uint64_t> freeSpaceFloor() const;
    void setFreeSpaceFloor(std::optional<std::uint64_t> bytes);

    // How long a saved file must stay unsaved before it is versioned, when
    // `strataloom-cli watch run` is not given --quiet-seconds.
    std::chrono::milliseconds quietPeriod() const;
    void setQuietPeriod(std::chrono::milliseconds period);

    // Writes the changes made through this object; false, with the reason,
    // when the file cannot be written. Reading an object made after a change
    // on disk sees that change.
    bool save(std::string* error = nullptr);

    // The file the settings are kept in.
    std::string fileName() const;

private:
    std::vector<std::string> readList(const QString& key) const;
    void writeList(const QString& key, const std::vector<std::string>& entries);

    mutable QSettings m_settings{QStringLiteral("Strataloom"), QStringLiteral("Strataloom")};
};

} // namespace strataloom
