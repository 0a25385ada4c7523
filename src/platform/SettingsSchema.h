#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <string_view>

// Every key of the user defaults ($XDG_CONFIG_HOME/Strataloom/Strataloom.conf):
// its name, what it holds, its default and who reads it. The one place a key
// is declared; the readers and the Preferences dialog take names and defaults
// from here.
namespace strataloom::settings {

enum class Kind {
    Switch, // a bool
    Seconds, // a number of seconds
    Bytes, // a number of bytes
    Date, // seconds since 2001-01-01 00:00:00 UTC
    Patterns, // a list of name patterns, each kept as its bytes
    Folders, // a list of folders, each kept as its bytes
};

struct Key {
    std::string_view name;
    Kind kind;
    // For numbers and switches (1 for true). 0 where the reader works the
    // default out itself (the size cap: a tenth of the store's file system).
    double defaultValue;
    std::string_view readBy;
    std::string_view explanation;

    QString qtName() const { return QString::fromLatin1(name.data(), qsizetype(name.size())); }
};

inline constexpr Key kRetentionKeepAll{"retentionKeepAllSeconds", Kind::Seconds, 3600.0, "thinning",
                                       "Every version younger than this is kept."};
inline constexpr Key kRetentionHourly{"retentionHourlySeconds", Kind::Seconds, 24 * 3600.0, "thinning",
                                      "Up to this age, the newest version of each hour is kept."};
inline constexpr Key kRetentionDaily{"retentionDailySeconds", Kind::Seconds, 30 * 24 * 3600.0, "thinning",
                                     "Up to this age, the newest version of each day is kept; older ones, one a week."};
inline constexpr Key kRetentionMaxBytes{"retentionMaxBytes", Kind::Bytes, 0.0, "thinning",
                                        "While all versions take more, the oldest automatic ones go. None set: a tenth "
                                        "of the store's disk."};

inline constexpr Key kWatchFolders{"watch/folders", Kind::Folders, 0.0, "the watcher",
                                   "The folders whose files get a version each time they are saved."};
inline constexpr Key
    kWatchExcludedPatterns{"watch/excludedPatterns", Kind::Patterns, 0.0, "the watcher",
                           "Files and folders whose names match one of these (* ? [...]) never get versions."};
inline constexpr Key kWatchSizeLimit{"watch/sizeLimit", Kind::Bytes, double(std::uint64_t{512} << 20), "the watcher",
                                     "Larger files get no automatic versions."};
inline constexpr Key kWatchQuietSeconds{"watch/quietSeconds", Kind::Seconds, 2.0, "the watcher",
                                        "A saved file is versioned once it has not been saved again for this long, so "
                                        "one save gives one version."};
inline constexpr Key kWatchFreeSpaceFloor{"watch/freeSpaceFloor", Kind::Bytes, 0.0, "the watcher",
                                          "The watcher adds no version that would leave less free space on the "
                                          "store's disk. None set: 5 % of the disk or 1 GiB, whichever is less."};

inline constexpr Key kNoUpdateCheck{"noUpdateCheck", Kind::Switch, 0.0, "the update check",
                                    "Whether the window looks for a newer release at start."};
inline constexpr Key kDateLastUpdateCheck{"dateLastUpdateCheck", Kind::Date, 0.0, "the update check",
                                          "When the window last looked for a newer release."};
inline constexpr Key kUpdateCheckInterval{"updateCheckInt", Kind::Seconds, 43200.0, "the update check",
                                          "How long after a look the window looks again."};

inline constexpr std::array kAllKeys{kRetentionKeepAll,  kRetentionHourly,     kRetentionDaily,
                                     kRetentionMaxBytes, kWatchFolders,        kWatchExcludedPatterns,
                                     kWatchSizeLimit,    kWatchQuietSeconds,   kWatchFreeSpaceFloor,
                                     kNoUpdateCheck,     kDateLastUpdateCheck, kUpdateCheckInterval};

} // namespace strataloom::settings
