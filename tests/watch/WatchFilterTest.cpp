#include "FileVersionStore.h"
#include "FreeSpace.h"
#include "QuietPeriod.h"
#include "SaveFilter.h"
#include "WatchSettings.h"
#include "WatchState.h"
#include "WatchStatus.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using watch::matchesPattern;
using watch::QuietPeriod;
using watch::SaveFilter;
using Verdict = SaveFilter::Verdict;

TEST(Patterns, MatchNamesByteForByte)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    for (const Case& c : std::vector<Case>{
             {"*~", "Report.txt~", true},
             {"*~", "~Report.txt", false},
             {"#*#", "#notes#", true},
             {"#*#", "#", false},
             {"*.swp", ".x.swp", true},
             {"*.swp", "x.swp.txt", false},
             {"*a*b*c", "xaxbxbxc", true},
             {"*a*b*c", "xaxbxbxcx", false},
             {"?.txt", "\xff.txt", true},
             {"caf\xe9*", "caf\xe9 menu", true},
             {"[abc].md", "b.md", true},
             {"[!abc].md", "b.md", false},
             {"[a-c0-9].md", "7.md", true},
             {"[]x].md", "].md", true},
             {"[\x80-\xff]*", "\xe9t\xe9", true},
             {"[unclosed", "[unclosed", true},
             {"\\*.txt", "*.txt", true},
             {"\\*.txt", "a.txt", false},
             {"", "", true},
         }) {
        EXPECT_EQ(matchesPattern(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
    }
}

TEST(SaveFilterTest, NamesLeftoversOwnFoldersAndSizes)
{
    const std::string store = FileVersionStore::defaultLocation();
    const SaveFilter filter({"*.log", "build"}, 100, watch::OwnFolders({store, watchStateFolder()}));
    for (const char* excluded : {".hidden", ".~lock.Report.odt#", ".goutputstream-ABC123", "Report.txt~", "#Report#",
                                 "Report.swp", "Report.swx", "4913", "x.kate-swp", "Report.osl-tmp", "lu1.tmp",
                                 "film.part", "film.crdownload", "~$Report.docx", "debug.log", "build"})
        EXPECT_TRUE(filter.excludesName(excluded)) << excluded;
    for (const char* kept : {"Report.txt", "4913.txt", "notes~.txt", "tmp", "a#b", "build.txt", "caf\xe9.txt"})
        EXPECT_FALSE(filter.excludesName(kept)) << kept;

    EXPECT_TRUE(filter.excludesFolder(store));
    EXPECT_TRUE(filter.excludesFolder(store + "/documents"));
    EXPECT_TRUE(filter.excludesFolder(watchStateFolder()));
    EXPECT_FALSE(filter.excludesFolder(store + "-other"));
    EXPECT_TRUE(filter.excludesFolder("/home/someone/.git"));
    EXPECT_FALSE(filter.excludesFolder("/home/someone/Documents"));

    struct stat regular {};
    regular.st_mode = S_IFREG | 0644;
    regular.st_size = 100;
    EXPECT_EQ(filter.judgeFile("/docs/a.txt", regular), Verdict::Save);
    EXPECT_EQ(filter.judgeFile("/docs/a.swp", regular), Verdict::ExcludedName);
    EXPECT_EQ(filter.judgeFile(store + "/documents/x/y", regular), Verdict::OwnFolder);
    regular.st_size = 101;
    EXPECT_EQ(filter.judgeFile("/docs/a.txt", regular), Verdict::TooLarge);
    for (const mode_t type : {S_IFLNK, S_IFIFO, S_IFDIR, S_IFSOCK}) {
        struct stat other {};
        other.st_mode = type | 0644;
        EXPECT_EQ(filter.judgeFile("/docs/a.txt", other), Verdict::NotRegular) << type;
    }
}

TEST(FreeSpaceTest, TheFloorIsTheLesserOfATwentiethAndAGibibyteUnlessSet)
{
    constexpr std::uint64_t GiB = std::uint64_t{1} << 30;
    struct Case {
        std::uint64_t total;
        std::optional<std::uint64_t> setting;
        std::uint64_t floor;
    };
    for (const Case& c : {Case{300 << 20, std::nullopt, 15 << 20}, Case{20 * GiB, std::nullopt, GiB},
                          Case{2000 * GiB, std::nullopt, GiB}, Case{2000 * GiB, 0, 0}, Case{GiB, 5 * GiB, 5 * GiB}})
        EXPECT_EQ(watch::freeSpaceFloor(c.total, c.setting), c.floor) << c.total;
}

TEST(QuietPeriodTest, EachSaveMovesItsDeadline)
{
    using namespace std::chrono_literals;
    QuietPeriod quiet(2s);
    const QuietPeriod::Clock::time_point t0{};
    quiet.saw("/d/a", t0);
    quiet.saw("/d/b", t0 + 1s);
    quiet.saw("/d/a", t0 + 1500ms); // a second burst of the same save
    quiet.saw("/e/c", t0 + 100ms);
    EXPECT_EQ(*quiet.earliest(), t0 + 2100ms);
    EXPECT_EQ(quiet.takeDue(t0 + 3s, 10), (std::vector<std::string>{"/e/c", "/d/b"}));
    EXPECT_TRUE(quiet.takeDue(t0 + 3400ms, 10).empty());
    EXPECT_EQ(quiet.forgetUnder("/d"), 1u);
    EXPECT_FALSE(quiet.earliest());
}

TEST(WatchSettingsTest, FoldersKeepTheirBytes)
{
    const std::string base = test::makeScratchFolder("folders");
    const std::string odd = base + "/caf\xe9, \"quoted\"\n@ByteArray(x) \xff";
    fs::create_directories(odd);
    {
        WatchSettings settings;
        settings.setFolders({odd, base, "/three"});
        settings.setExcludedPatterns({"*.log"});
        settings.setSizeLimit(1234);
        ASSERT_TRUE(settings.save());
    }
    {
        WatchSettings settings;
        EXPECT_EQ(settings.folders(), (std::vector<std::string>{odd, base, "/three"}));
        settings.setFolders({base});
        ASSERT_TRUE(settings.save());
    }
    const WatchSettings settings;
    EXPECT_EQ(settings.folders(), std::vector<std::string>{base});
    EXPECT_EQ(settings.excludedPatterns(), std::vector<std::string>{"*.log"});
    EXPECT_EQ(settings.sizeLimit(), 1234u);

    // The folder holding the store is the user's to watch; the store itself is refused by the command.
    EXPECT_TRUE(WatchSettings::watchableFolder(fs::path(FileVersionStore::defaultLocation()).parent_path()));
}

TEST(WatchStatusTest, RoundTripsThroughItsFileKeepingTheRecentOnes)
{
    WatchStatus status;
    status.pid = 42;
    status.startedMs = 1'700'000'000'123;
    status.folders = {"/docs/caf\xe9", "/plain"};
    status.watches = 7;
    status.watchLimitReached = true;
    status.notWatched = {{"/gone \xff", "it was deleted or moved away"}};
    status.shortOfSpace = true;
    status.freeSpaceFloor = 1 << 30;
    status.scanDone = 3;
    status.scanTotal = 9;
    for (int i = 0; i < 25; ++i)
        status.addSave(1'700'000'001'000 + i, "/docs/caf\xe9/" + std::to_string(i));
    status.addError(1'700'000'002'000, "cannot read /x");
    ASSERT_TRUE(makeWatchStateFolder());
    EXPECT_EQ(fs::status(watchStateFolder()).permissions(), fs::perms::owner_all);
    ASSERT_TRUE(status.write(watchStatusPath()));
    const auto read = WatchStatus::read(watchStatusPath());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->pid, 42);
    EXPECT_EQ(read->startedMs, status.startedMs);
    EXPECT_EQ(read->folders, status.folders);
    EXPECT_EQ(read->scanTotal, 9u);
    EXPECT_TRUE(read->watchLimitReached);
    EXPECT_EQ(read->notWatched, status.notWatched);
    EXPECT_TRUE(read->shortOfSpace);
    EXPECT_EQ(read->freeSpaceFloor, status.freeSpaceFloor);
    ASSERT_EQ(read->saves.size(), WatchStatus::kRecent);
    EXPECT_EQ(read->saves.front(), (WatchStatus::Save{1'700'000'001'005, "/docs/caf\xe9/5"}));
    EXPECT_EQ(read->errors, status.errors);

    test::writeFile(watchStatusPath(), "{ not json");
    std::string error;
    EXPECT_FALSE(WatchStatus::read(watchStatusPath(), &error));
    EXPECT_NE(error.find(watchStatusPath()), std::string::npos);
}

} // namespace
} // namespace strataloom
