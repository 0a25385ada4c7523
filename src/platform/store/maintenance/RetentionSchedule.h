#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Which versions thinning keeps: the schedule by age, and the cap on the space
// all versions take. Pure functions of what they are given, so that a preview
// and the pass itself decide alike.
namespace strataloom {

// How a document's automatic versions thin out with age, measured from now
// on calendar boundaries in local time: every version taken since the start
// of the hour `keepAll` ago; then the newest in each hour since the start of
// the hour `hourly` ago; the newest in each day since the start of the day
// `daily` ago; the newest in each ISO week before that. A decision therefore
// changes only when now crosses the top of an hour, never from one minute to
// the next. (A period set shorter than an hour, or than a day for the daily
// one, begins exactly that long before now.) "Newest" and "oldest" go by
// position, the order the versions were added, never by their times, which a
// clock set wrong can leave out of order.
struct RetentionSchedule {
    std::chrono::seconds keepAll{std::chrono::hours(1)};
    std::chrono::seconds hourly{std::chrono::hours(24)};
    std::chrono::seconds daily{std::chrono::hours(24 * 30)};
};

enum class Retention {
    Pinned, // kept until the user removes it
    Explicit, // asked for: never thinned
    Newest, // a document's newest automatic version
    Oldest, // a document's oldest automatic version
    Recent, // inside the schedule's first period, or taken "after" now
    Hourly,
    Daily,
    Weekly,
    Thinned, // goes: another version keeps its period
    OverSizeCap, // goes: the oldest that could, while the store is over its cap
    Changed, // was to go, but was pinned or removed meanwhile: left as it is
};

// The word a preview prints for a decision.
std::string_view retentionName(Retention retention);
bool isRemoved(Retention retention);

struct RetentionCandidate {
    std::int64_t takenNs = 0; // when the version was taken, ns since 1970
    std::uint64_t size = 0; // the bytes it takes on disk, which the size cap counts
    bool automatic = false;
    bool pinned = false;
};

// One document's versions, oldest first: why each is kept, or Thinned.
std::vector<Retention> applySchedule(std::span<const RetentionCandidate> versions, std::int64_t nowNs,
                                     const RetentionSchedule& schedule);

// Every document's versions, oldest first, and the decisions the schedule made
// for them. While what stays is over `maxBytes`, the oldest unpinned automatic
// versions go, across documents, never a document's last version. Within a
// document they go in position order; across documents, a version counts as
// old as the oldest time of it and the versions after it, so that one taken
// with the clock ahead goes no later than those added after it.
void applySizeCap(std::span<const std::span<const RetentionCandidate>> documents,
                  std::span<const std::span<Retention>> decisions, std::uint64_t maxBytes);

} // namespace strataloom
