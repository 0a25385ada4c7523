#include "RetentionSchedule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace strataloom {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;
// 2027-01-15T08:00:00Z, a Friday.
constexpr std::int64_t kNow = 1'800'000'000LL * kSecond;

// The time zone the schedule's calendar is read in, for one test.
class LocalTime {
public:
    explicit LocalTime(const char* zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    ~LocalTime()
    {
        unsetenv("TZ");
        tzset();
    }
};

// ns since 1970 of "YYYY-MM-DDTHH:MM" in UTC.
std::int64_t utc(const char* text)
{
    std::tm parts{};
    std::sscanf(text, "%d-%d-%dT%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min);
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&parts)) * kSecond;
}

// A version taken at `takenNs`; "e" explicit, "p" pinned, else automatic.
struct Taken {
    std::int64_t takenNs;
    const char* kind = "a";
};

// The decisions of the default schedule at `now`, as the words a preview prints.
std::string decideAt(std::int64_t now, const std::vector<Taken>& taken)
{
    std::vector<RetentionCandidate> versions;
    for (const Taken& version : taken)
        versions.push_back({version.takenNs, 100, std::string(version.kind) != "e", std::string(version.kind) == "p"});
    std::string words;
    for (const Retention retention : applySchedule(versions, now, RetentionSchedule{})) {
        if (!words.empty())
            words += ' ';
        words += retentionName(retention);
    }
    return words;
}

// The same, for automatic versions taken `ago` before kNow.
std::string decide(std::initializer_list<std::int64_t> agos)
{
    std::vector<Taken> taken;
    for (const std::int64_t ago : agos)
        taken.push_back({kNow - ago});
    return decideAt(kNow, taken);
}

struct Case {
    const char* what;
    std::string decided;
    const char* expected;
};

TEST(RetentionSchedule, KeepsEveryRecentVersionThenTheNewestInEachHourDayAndWeek)
{
    const LocalTime zone("UTC");
    const auto ago = [](std::int64_t span, const char* kind = "a") { return Taken{kNow - span, kind}; };
    const Case cases[] = {
        {"one version", decide({5 * kDay}), "newest"},
        {"the last hour whole, from the top of the hour", decide({65 * kMinute, 59 * kMinute, 30 * kMinute, 0}),
         "oldest recent recent newest"},
        {"two in one hour, one in the next",
         decide({3 * kHour + 50 * kMinute, 3 * kHour + 10 * kMinute, 2 * kHour + 30 * kMinute, 0}),
         "oldest hourly hourly newest"},
        {"three in one day, days apart",
         decide({40 * kDay, 3 * kDay + 5 * kHour, 3 * kDay + 4 * kHour, 3 * kDay + 1 * kHour, 0}),
         "oldest thinned thinned daily newest"},
        // 62, 61 and 60 days before Friday 2027-01-15 are Saturday 2026-11-14, Sunday 11-15 and Monday 11-16.
        {"ISO weeks, Monday to Sunday, after a month",
         decide({90 * kDay, 62 * kDay, 61 * kDay, 60 * kDay, 1 * kDay + kHour, 0}),
         "oldest thinned weekly weekly daily newest"},
        {"taken after now (a clock set back)", decideAt(kNow, {ago(2 * kDay), ago(-3 * kHour), ago(-kHour)}),
         "oldest recent newest"},
        {"pinned and explicit inside a thinned day",
         decideAt(kNow, {ago(10 * kDay), ago(3 * kDay + 5 * kHour, "p"), ago(3 * kDay + 4 * kHour, "e"),
                         ago(3 * kDay + 3 * kHour), ago(3 * kDay + 2 * kHour), ago(0)}),
         "oldest pinned explicit thinned daily newest"},
        {"explicit versions only", decideAt(kNow, {ago(50 * kDay, "e"), ago(40 * kDay, "e")}), "explicit explicit"},
        // Newest and oldest go by the order versions were added: after a clock
        // jump those taken with the clock right are the newest.
        {"added after versions stamped a month ahead",
         decideAt(kNow, {ago(-30 * kDay), ago(-30 * kDay - kHour), ago(3 * kDay), ago(2 * kDay)}),
         "oldest recent daily newest"},
        {"the later added stamped earlier in its day keeps the day",
         decideAt(kNow, {ago(9 * kDay), ago(3 * kDay - kHour), ago(3 * kDay), ago(0)}), "oldest thinned daily newest"},
    };
    for (const Case& test : cases)
        EXPECT_EQ(test.decided, test.expected) << test.what;
}

// A preview at 10:05 and one at 10:55 decide alike: periods and buckets begin
// on the clock's hours and days, not an hour or a day back from now.
TEST(RetentionSchedule, APreviewGivesTheSameAnswerFromOneMinuteToTheNext)
{
    for (const char* zone : {"UTC", "Asia/Kolkata", "America/New_York"}) {
        const LocalTime local(zone);
        std::vector<RetentionCandidate> versions;
        for (std::int64_t taken = utc("2026-11-20T00:00"); taken < utc("2027-01-15T10:00"); taken += 47 * kMinute)
            versions.push_back({taken, 100, true, false});
        const std::int64_t first = utc("2027-01-15T10:05");
        const auto decided = applySchedule(versions, first, RetentionSchedule{});
        for (std::int64_t now = first + kMinute; now < first + 50 * kMinute; now += 7 * kMinute) {
            const auto later = applySchedule(versions, now, RetentionSchedule{});
            std::size_t differing = 0;
            for (std::size_t i = 0; i < versions.size(); ++i)
                differing += later[i] != decided[i] ? 1 : 0;
            // Only the hour of 10:00 UTC is not a whole hour in Kolkata (+05:30).
            EXPECT_EQ(differing, 0u) << zone << ", " << (now - first) / kMinute << " minutes later";
            if (std::string(zone) == "Asia/Kolkata")
                break;
        }
    }
}

// Days and hours are those of the local clock: a day of 23 or 25 hours is one
// day, and the hour repeated when the clocks go back is two hours.
TEST(RetentionSchedule, DaysAndHoursFollowTheLocalClockAcrossDaylightSavingChanges)
{
    const LocalTime zone("Europe/Berlin");
    const Case cases[] = {
        // 2026-10-25 has 25 hours in Berlin: 00:30 CEST and 23:30 CET are 24 hours apart, one day.
        {"the day the clocks go back",
         decideAt(utc("2026-11-05T12:00"), {{utc("2026-10-01T00:00")},
                                            {utc("2026-10-24T22:30")},
                                            {utc("2026-10-25T22:30")},
                                            {utc("2026-11-05T11:59")}}),
         "oldest thinned daily newest"},
        // 2026-03-29 has 23 hours: 00:30 CET and 23:30 CEST, 22 hours apart, one day.
        {"the day the clocks go forward",
         decideAt(utc("2026-04-05T12:00"), {{utc("2026-03-01T00:00")},
                                            {utc("2026-03-28T23:30")},
                                            {utc("2026-03-29T21:30")},
                                            {utc("2026-04-05T11:59")}}),
         "oldest thinned daily newest"},
        // 02:30 CEST and 02:30 CET are an hour apart: two hours, each keeping its newest.
        {"the hour repeated",
         decideAt(utc("2026-10-25T12:00"), {{utc("2026-10-20T00:00")},
                                            {utc("2026-10-25T00:10")},
                                            {utc("2026-10-25T00:30")},
                                            {utc("2026-10-25T01:10")},
                                            {utc("2026-10-25T01:30")},
                                            {utc("2026-10-25T11:59")}}),
         "oldest thinned hourly thinned hourly newest"},
        // Midnight local, not UTC, begins a day: 23:30 and 00:30 CET are two days.
        {"local midnight",
         decideAt(utc("2026-12-10T12:00"), {{utc("2026-11-01T00:00")},
                                            {utc("2026-12-01T22:30")},
                                            {utc("2026-12-01T23:30")},
                                            {utc("2026-12-10T11:59")}}),
         "oldest daily daily newest"},
    };
    for (const Case& test : cases)
        EXPECT_EQ(test.decided, test.expected) << test.what;
}

// Document A: automatic at 10, 30; B: explicit at 5, automatic at 20, pinned
// automatic at 25, automatic at 40. 100 bytes each.
TEST(RetentionSchedule, TheSizeCapTakesTheOldestAutomaticVersionsAcrossDocumentsButNoDocumentsLast)
{
    const std::vector<RetentionCandidate> a = {{10, 100, true, false}, {30, 100, true, false}};
    const std::vector<RetentionCandidate> b = {{5, 100, false, false},
                                               {20, 100, true, false},
                                               {25, 100, true, true},
                                               {40, 100, true, false}};
    // Versions stamped 30 days ahead, then two with the clock right: the last
    // added is the document's contents and stays; the jumped ones go first.
    const std::vector<RetentionCandidate> jumped = {{kNow + 30 * kDay, 100, true, false},
                                                    {kNow + 30 * kDay + kHour, 100, true, false},
                                                    {kNow, 100, true, false},
                                                    {kNow + kMinute, 100, true, false}};
    const auto capped = [](const std::vector<std::span<const RetentionCandidate>>& documents, std::uint64_t maxBytes) {
        std::vector<std::vector<Retention>> decisions;
        for (const auto& versions : documents)
            decisions.emplace_back(versions.size(), Retention::Recent);
        applySizeCap(documents, std::vector<std::span<Retention>>(decisions.begin(), decisions.end()), maxBytes);
        std::string removed;
        for (std::size_t d = 0; d < decisions.size(); ++d)
            for (std::size_t v = 0; v < decisions[d].size(); ++v)
                if (decisions[d][v] == Retention::OverSizeCap)
                    removed += std::string(removed.empty() ? "" : " ") + char('a' + d) + std::to_string(v);
        return removed;
    };
    EXPECT_EQ(capped({a, b}, 600), "");
    EXPECT_EQ(capped({a, b}, 500), "a0");
    EXPECT_EQ(capped({a, b}, 400), "a0 b1");
    // Nothing else may go: explicit, pinned and each document's last stay.
    EXPECT_EQ(capped({a, b}, 0), "a0 b1");
    EXPECT_EQ(capped({jumped}, 300), "a0");
    EXPECT_EQ(capped({jumped}, 0), "a0 a1 a2");
    // Across documents the jumped versions count as old as those added after them.
    EXPECT_EQ(capped({jumped, a}, 500), "b0");
    EXPECT_EQ(capped({jumped, a}, 400), "a0 b0");
}

} // namespace
} // namespace strataloom
