#include "RetentionSchedule.h"

#include <gtest/gtest.h>

#include <string>

namespace strataloom {
namespace {

constexpr std::int64_t kMinute = 60'000'000'000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;
constexpr std::int64_t kNow = 1'800'000'000LL * 1'000'000'000;

// A version taken `ago` before now; "e" explicit, "p" pinned, else automatic.
struct Taken {
    std::int64_t ago;
    const char* kind = "a";
};

// The decisions of the default schedule, as the words a preview prints.
std::string decide(std::initializer_list<Taken> taken)
{
    std::vector<RetentionCandidate> versions;
    for (const Taken& version : taken)
        versions.push_back(
            {kNow - version.ago, 100, std::string(version.kind) != "e", std::string(version.kind) == "p"});
    std::string words;
    for (const Retention retention : applySchedule(versions, kNow, RetentionSchedule{})) {
        if (!words.empty())
            words += ' ';
        words += retentionName(retention);
    }
    return words;
}

TEST(RetentionSchedule, KeepsEveryRecentVersionThenTheNewestInEachHourDayAndWeek)
{
    struct Case {
        const char* what;
        std::string decided;
        const char* expected;
    };
    const Case cases[] = {
        {"one version", decide({{5 * kDay}}), "newest"},
        {"the last hour whole", decide({{59 * kMinute}, {30 * kMinute}, {1 * kMinute}}), "oldest recent newest"},
        {"two in one hour, one in the next",
         decide({{3 * kHour + 50 * kMinute}, {3 * kHour + 10 * kMinute}, {2 * kHour + 30 * kMinute}, {0}}),
         "oldest hourly hourly newest"},
        {"three in one day, days apart",
         decide({{40 * kDay}, {3 * kDay + 5 * kHour}, {3 * kDay + 4 * kHour}, {3 * kDay + 1 * kHour}, {0}}),
         "oldest thinned thinned daily newest"},
        {"weeks after a month, with a gap of days",
         decide({{90 * kDay}, {60 * kDay + 1 * kHour}, {60 * kDay}, {62 * kDay}, {1 * kDay + kHour}, {0}}),
         "oldest thinned weekly thinned daily newest"},
        {"taken after now (a clock set back)", decide({{2 * kDay}, {2 * kDay - kHour}, {-3 * kHour}, {-kHour}}),
         "oldest daily newest recent"},
        {"pinned and explicit inside a thinned day",
         decide({{10 * kDay},
                 {3 * kDay + 5 * kHour, "p"},
                 {3 * kDay + 4 * kHour, "e"},
                 {3 * kDay + 3 * kHour},
                 {3 * kDay + 2 * kHour},
                 {0}}),
         "oldest pinned explicit thinned daily newest"},
        {"explicit versions only", decide({{50 * kDay, "e"}, {40 * kDay, "e"}}), "explicit explicit"},
    };
    for (const Case& test : cases)
        EXPECT_EQ(test.decided, test.expected) << test.what;
}

TEST(RetentionSchedule, TheSizeCapTakesTheOldestAutomaticVersionsAcrossDocumentsButNoDocumentsNewest)
{
    // Document A: automatic at 10, 30 (newest); B: explicit at 5, automatic at
    // 20, pinned automatic at 25, automatic at 40 (newest). 100 bytes each.
    const std::vector<RetentionCandidate> a = {{10, 100, true, false}, {30, 100, true, false}};
    const std::vector<RetentionCandidate> b = {{5, 100, false, false},
                                               {20, 100, true, false},
                                               {25, 100, true, true},
                                               {40, 100, true, false}};
    const std::vector<std::span<const RetentionCandidate>> documents = {a, b};
    const auto capped = [&](std::uint64_t maxBytes) {
        std::vector<std::vector<Retention>> decisions = {std::vector(2, Retention::Recent),
                                                         std::vector(4, Retention::Recent)};
        applySizeCap(documents, decisions, maxBytes);
        std::string removed;
        for (std::size_t d = 0; d < decisions.size(); ++d)
            for (std::size_t v = 0; v < decisions[d].size(); ++v)
                if (decisions[d][v] == Retention::OverSizeCap)
                    removed += std::string(removed.empty() ? "" : " ") + (d == 0 ? "a" : "b") + std::to_string(v);
        return removed;
    };
    EXPECT_EQ(capped(600), "");
    EXPECT_EQ(capped(500), "a0");
    EXPECT_EQ(capped(400), "a0 b1");
    // Nothing else may go: explicit, pinned and each document's newest stay.
    EXPECT_EQ(capped(0), "a0 b1");
}

} // namespace
} // namespace strataloom
