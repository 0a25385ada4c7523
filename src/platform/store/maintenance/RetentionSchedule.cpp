// Retention: the thinning schedule and the size cap, as pure functions.
#include "RetentionSchedule.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <map>
#include <tuple>

namespace strataloom {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

std::int64_t secondsOf(std::int64_t ns)
{
    return ns / kNsPerSecond - (ns % kNsPerSecond < 0 ? 1 : 0);
}

std::tm localTime(std::int64_t seconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    return local;
}

// The start of the local hour holding `seconds`: an hour repeated when the
// clocks go back is two hours, and a zone whose offset is not whole hours
// keeps its own boundaries.
std::int64_t hourStart(std::int64_t seconds)
{
    const std::tm local = localTime(seconds);
    return seconds - local.tm_min * 60 - std::min(local.tm_sec, 59);
}

// The start of the local day holding `seconds` (23 or 25 hours long when the
// clocks change that day).
std::int64_t dayStart(std::int64_t seconds)
{
    std::tm local = localTime(seconds);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    const std::time_t start = std::mktime(&local);
    return start == static_cast<std::time_t>(-1) ? seconds : static_cast<std::int64_t>(start);
}

std::int64_t dayKey(std::int64_t seconds)
{
    const std::tm local = localTime(seconds);
    return (local.tm_year + 1900LL) * 1000 + local.tm_yday;
}

// The ISO week-numbering year and week, as yyyyww.
std::int64_t weekKey(std::int64_t seconds)
{
    const std::tm local = localTime(seconds);
    char text[16] = {};
    std::strftime(text, sizeof text, "%G%V", &local);
    return std::strtoll(text, nullptr, 10);
}

// Where a period of `length` back from `nowNs` begins, in ns: at the top of
// the hour then, or at midnight for the daily period, once it is at least
// that long, so that decisions hold from one minute to the next; a shorter
// period (a setting of seconds) exactly `length` back.
std::int64_t periodStart(std::int64_t nowNs, std::chrono::seconds length, bool daily)
{
    const std::int64_t fromNs = nowNs - static_cast<std::int64_t>(length.count()) * kNsPerSecond;
    if (daily && length >= std::chrono::hours(24))
        return dayStart(secondsOf(fromNs)) * kNsPerSecond;
    return length >= std::chrono::hours(1) ? hourStart(secondsOf(fromNs)) * kNsPerSecond : fromNs;
}

} // namespace

std::string_view retentionName(Retention retention)
{
    switch (retention) {
    case Retention::Pinned:
        return "pinned";
    case Retention::Explicit:
        return "explicit";
    case Retention::Newest:
        return "newest";
    case Retention::Oldest:
        return "oldest";
    case Retention::Recent:
        return "recent";
    case Retention::Hourly:
        return "hourly";
    case Retention::Daily:
        return "daily";
    case Retention::Weekly:
        return "weekly";
    case Retention::Thinned:
        return "thinned";
    case Retention::OverSizeCap:
        return "size cap";
    case Retention::Changed:
        return "changed";
    }
    return "thinned";
}

bool isRemoved(Retention retention)
{
    return retention == Retention::Thinned || retention == Retention::OverSizeCap;
}

std::vector<Retention> applySchedule(std::span<const RetentionCandidate> versions, std::int64_t nowNs,
                                     const RetentionSchedule& schedule)
{
    std::vector<Retention> decisions(versions.size(), Retention::Thinned);
    std::vector<std::size_t> thinnable;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        if (versions[i].pinned)
            decisions[i] = Retention::Pinned;
        else if (!versions[i].automatic)
            decisions[i] = Retention::Explicit;
        else
            thinnable.push_back(i);
    }
    if (thinnable.empty())
        return decisions;

    // Each period begins on a boundary of local time, and its buckets are
    // calendar hours, days and ISO weeks; the last version added in a bucket
    // keeps it.
    const std::int64_t recentFrom = periodStart(nowNs, schedule.keepAll, false);
    const std::int64_t hourlyFrom = periodStart(nowNs, schedule.hourly, false);
    const std::int64_t dailyFrom = periodStart(nowNs, schedule.daily, true);
    std::map<std::tuple<Retention, std::int64_t>, std::size_t> newestInBucket;
    for (const std::size_t i : thinnable) {
        const std::int64_t takenNs = versions[i].takenNs;
        const std::int64_t taken = secondsOf(takenNs);
        if (takenNs >= recentFrom) {
            decisions[i] = Retention::Recent;
            continue;
        }
        const auto bucket = takenNs >= hourlyFrom ? std::tuple(Retention::Hourly, hourStart(taken))
                          : takenNs >= dailyFrom  ? std::tuple(Retention::Daily, dayKey(taken))
                                                  : std::tuple(Retention::Weekly, weekKey(taken));
        newestInBucket[bucket] = i;
    }
    for (const auto& [bucket, i] : newestInBucket)
        decisions[i] = std::get<0>(bucket);

    decisions[thinnable.front()] = Retention::Oldest;
    decisions[thinnable.back()] = Retention::Newest;
    return decisions;
}

void applySizeCap(std::span<const std::span<const RetentionCandidate>> documents,
                  std::span<const std::span<Retention>> decisions, std::uint64_t maxBytes)
{
    std::uint64_t kept = 0;
    struct Removable {
        std::int64_t oldNs; // the oldest time of it and the versions after it
        std::size_t document;
        std::size_t version;
    };
    std::vector<Removable> removable;
    for (std::size_t d = 0; d < documents.size(); ++d) {
        const auto& versions = documents[d];
        std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
        const std::size_t first = removable.size();
        for (std::size_t v = versions.size(); v-- > 0;) {
            oldest = std::min(oldest, versions[v].takenNs);
            if (isRemoved(decisions[d][v]))
                continue;
            kept += versions[v].size;
            if (versions[v].automatic && !versions[v].pinned && v + 1 != versions.size())
                removable.push_back({oldest, d, v});
        }
        std::reverse(removable.begin() + static_cast<std::ptrdiff_t>(first), removable.end());
    }
    std::stable_sort(removable.begin(), removable.end(),
                     [](const Removable& a, const Removable& b) { return a.oldNs < b.oldNs; });
    for (const Removable& candidate : removable) {
        if (kept <= maxBytes)
            break;
        decisions[candidate.document][candidate.version] = Retention::OverSizeCap;
        kept -= documents[candidate.document][candidate.version].size;
    }
}

} // namespace strataloom
