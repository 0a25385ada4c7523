#pragma once

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// What the running watcher is doing, as it writes it to its status file and
// `watch status` and the window read it back: a small JSON object, replaced
// whole. Times are milliseconds since 1970 (UTC), written as ISO 8601; paths
// are bytes, written as "path" text plus "pathBytes" (base64) when the text
// cannot hold them exactly.
namespace strataloom {

struct WatchStatus {
    static constexpr std::size_t kRecent = 20;

    struct Save {
        std::int64_t timeMs = 0;
        std::string path;
        bool operator==(const Save&) const = default;
    };
    struct Unwatched {
        std::string path;
        std::string reason;
        bool operator==(const Unwatched&) const = default;
    };
    struct Problem {
        std::int64_t timeMs = 0;
        std::string message;
        bool operator==(const Problem&) const = default;
    };

    std::int64_t pid = 0;
    std::int64_t startedMs = 0;
    // The watched folders being watched, and those not watched now (gone,
    // until they come back).
    std::vector<std::string> folders;
    std::vector<Unwatched> notWatched;
    std::size_t watches = 0;
    bool watchLimitReached = false;
    // The start-up scan is done and every save is being watched for.
    bool ready = false;
    // Files looked at and to look at by the scan under way; both 0 when none is.
    std::size_t scanDone = 0;
    std::size_t scanTotal = 0;
    // No version is added while the store's file system is under its floor
    // of free space (in bytes).
    bool shortOfSpace = false;
    std::uint64_t freeSpaceFloor = 0;
    // Files saved and waiting for their quiet period, or for space.
    std::size_t waiting = 0;
    // The most recent last, at most kRecent of each.
    std::deque<Save> saves;
    std::deque<Problem> errors;

    void addSave(std::int64_t timeMs, std::string path);
    void addError(std::int64_t timeMs, std::string message);

    QByteArray toJson() const;
    static std::optional<WatchStatus> fromJson(const QByteArray& json, std::string* error = nullptr);

    // Replaces the file at `path` whole (a temporary file renamed over it).
    bool write(const std::string& path, std::string* error = nullptr) const;
    // Empty, with the reason, when the file is missing or not a status.
    static std::optional<WatchStatus> read(const std::string& path, std::string* error = nullptr);
};

std::int64_t nowMs();
// "2026-01-02T03:04:05.678Z".
std::string isoTime(std::int64_t timeMs);

} // namespace strataloom
