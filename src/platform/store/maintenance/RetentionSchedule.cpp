// Retention: the thinning schedule and the size cap, as pure functions.
#include "RetentionSchedule.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace strataloom {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;

std::int64_t ns(std::chrono::seconds duration)
{
    return static_cast<std::int64_t>(duration.count()) * kNsPerSecond;
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

    // Each period is split into buckets of its length, counted back from now;
    // the newest version in a bucket keeps it.
    std::map<std::tuple<Retention, std::int64_t>, std::size_t> newestInBucket;
    for (const std::size_t i : thinnable) {
        const std::int64_t age = nowNs - versions[i].takenNs;
        if (age < ns(schedule.keepAll)) {
            decisions[i] = Retention::Recent;
            continue;
        }
        const auto [period, length] = age < ns(schedule.hourly) ? std::pair(Retention::Hourly, std::int64_t{3600})
                                    : age < ns(schedule.daily)  ? std::pair(Retention::Daily, std::int64_t{86'400})
                                                                : std::pair(Retention::Weekly, std::int64_t{604'800});
        auto [slot, added] = newestInBucket.try_emplace({period, age / (length * kNsPerSecond)}, i);
        if (!added && versions[i].takenNs >= versions[slot->second].takenNs)
            slot->second = i;
    }
    for (const auto& [bucket, i] : newestInBucket)
        decisions[i] = std::get<0>(bucket);

    const auto byTime = [&](std::size_t a, std::size_t b) { return versions[a].takenNs < versions[b].takenNs; };
    decisions[*std::min_element(thinnable.begin(), thinnable.end(), byTime)] = Retention::Oldest;
    decisions[*std::max_element(thinnable.begin(), thinnable.end(), byTime)] = Retention::Newest;
    return decisions;
}

void applySizeCap(std::span<const std::span<const RetentionCandidate>> documents,
                  std::span<std::vector<Retention>> decisions, std::uint64_t maxBytes)
{
    std::uint64_t kept = 0;
    struct Removable {
        std::int64_t takenNs;
        std::size_t document;
        std::size_t version;
    };
    std::vector<Removable> removable;
    for (std::size_t d = 0; d < documents.size(); ++d) {
        const auto& versions = documents[d];
        std::size_t newest = 0;
        for (std::size_t v = 0; v < versions.size(); ++v) {
            if (versions[v].takenNs >= versions[newest].takenNs)
                newest = v;
        }
        for (std::size_t v = 0; v < versions.size(); ++v) {
            if (isRemoved(decisions[d][v]))
                continue;
            kept += versions[v].size;
            if (versions[v].automatic && !versions[v].pinned && v != newest)
                removable.push_back({versions[v].takenNs, d, v});
        }
    }
    std::sort(removable.begin(), removable.end(),
              [](const Removable& a, const Removable& b) { return a.takenNs < b.takenNs; });
    for (const Removable& candidate : removable) {
        if (kept <= maxBytes)
            break;
        decisions[candidate.document][candidate.version] = Retention::OverSizeCap;
        kept -= documents[candidate.document][candidate.version].size;
    }
}

} // namespace strataloom
