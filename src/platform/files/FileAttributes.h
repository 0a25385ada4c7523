#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace strataloom {

// A point in time with the file system's nanosecond resolution.
struct FileTime {
    std::int64_t seconds = 0; // since 1970-01-01T00:00:00Z
    std::uint32_t nanoseconds = 0;

    auto operator<=>(const FileTime&) const = default;
    // ISO 8601 UTC with nine fractional digits, e.g. 2020-01-02T03:04:05.123456789Z.
    std::string toIso8601() const;
};

struct FileDates {
    FileTime creation;
    FileTime modification;
    bool operator==(const FileDates&) const = default;
};

// Linux cannot set a file's birth time, so the creation date lives in this user
// extended attribute: ASCII "<seconds>.<nine digits of nanoseconds>".
inline constexpr const char* kCreationDateAttribute = "user.strataloom.creation";

// The attribute that tags a document with its store id (the store's
// StoreLayout uses it). It names one file only, so a copy never carries it.
inline constexpr const char* kDocumentIdAttribute = "user.strataloom.id";

// Reads both dates of the item at `path`, following a final symlink. The creation
// date comes from the attribute, else the birth time (statx), else the
// modification date. Empty when the item cannot be examined.
std::optional<FileDates> readDates(const std::string& path, std::string* error = nullptr);

// Sets both dates of the item at `path`, following a final symlink. Where the file
// system has no user extended attributes the creation date is skipped, which is
// not a failure.
bool setDates(const std::string& path, const FileDates& dates, std::string* error = nullptr);

} // namespace strataloom
