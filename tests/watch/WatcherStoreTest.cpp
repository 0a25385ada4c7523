// The watcher and its store: a floor of free space it keeps, thinning only what it saved, and a log that names cannot
// forge.
#include "Settings.h"
#include "WatcherTestSupport.h"
#include "support/Format4Store.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

namespace strataloom {
namespace {

using namespace test;

// Whether the watcher has dealt with every save made before `since`: a
// status written once the last quiet period was over shows none waiting.
bool doneWithSavesBefore(fs::file_time_type since, std::chrono::milliseconds quietPeriod)
{
    std::error_code error;
    const auto written = fs::last_write_time(watchStatusPath(), error);
    const auto now = status();
    return !error && written >= since + quietPeriod && now && now->waiting == 0;
}

TEST_F(WatcherTest, AddingStopsUnderTheFloorOfFreeSpaceAndResumesWhenSpaceReturns)
{
    if (const std::string why = privateMounts(); !why.empty())
        GTEST_SKIP() << why;
    Mounts mounts;
    const std::string dataHome = std::getenv("XDG_DATA_HOME");
    ASSERT_TRUE(mounts.tmpfs(dataHome, "8m"));
    WatchSettings settings;
    settings.setFreeSpaceFloor(std::uint64_t{2} << 20);
    ASSERT_TRUE(settings.save());
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    settle();

    // Another user's file leaves 1 MiB free.
    const std::string filler = dataHome + "/filler";
    const auto space = fs::space(dataHome);
    writeFile(filler, std::string(space.available - (std::uint64_t{1} << 20), 'x'));
    for (const char* name : {"/first.txt", "/second.txt"})
        writeFile(watched + name, "waits for space");
    ASSERT_TRUE(eventually([] { return status() && status()->shortOfSpace; })) << watcher.log();
    EXPECT_EQ(status()->freeSpaceFloor, std::uint64_t{2} << 20);
    EXPECT_EQ(versionsOf(watched + "/first.txt") + versionsOf(watched + "/second.txt"), 0u);
    const std::string log = watcher.log();
    EXPECT_EQ(log.find("not adding versions"), log.rfind("not adding versions")) << "said once\n" << log;
    EXPECT_NE(runCli({"watch", "status"}).out.find("Not adding versions"), std::string::npos);
    EXPECT_NE(runCli({"watch", "status", "--json"}).out.find("\"shortOfSpace\": true"), std::string::npos);

    fs::remove(filler);
    EXPECT_TRUE(hasVersions(watched + "/first.txt", 1)) << watcher.log();
    EXPECT_TRUE(hasVersions(watched + "/second.txt", 1)) << watcher.log();
    EXPECT_TRUE(eventually([] { return status() && !status()->shortOfSpace; }));
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

// A history stored whole by the release before records is re-encoded in the
// background once the watcher has started, every version still readable.
TEST_F(WatcherTest, AnEarlierFormatsHistoryIsCompactedWhileTheWatcherRuns)
{
    const std::string location = FileVersionStore::defaultLocation();
    const std::string notes = watched + "/gone.txt";
    std::vector<std::string> revisions;
    for (int n = 0; n < 4; ++n)
        revisions.push_back(revision(n));
    writeFormat4Store(location, notes, revisions);
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    EXPECT_TRUE(eventually([&] { return recordKinds(location) == std::vector<int>{1, 3, 0}; })) << watcher.log();
    EXPECT_EQ(revisionsOf(location, notes, revisions), revisionNames({0, 1, 2, 3}));
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

TEST_F(WatcherTest, ASaveWithNothingNewThinsNoOtherDocument)
{
    const std::string unchanged = watched + "/unchanged.txt";
    writeFile(unchanged, "same");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    // Automatic versions that a pass over the whole store would thin once
    // the size cap is lowered.
    const std::string other = watched + "/other.txt";
    for (const std::string contents : {"one", "two", "three"}) {
        writeFile(other, contents);
        ASSERT_TRUE(hasVersions(other, contents == "one" ? 1 : contents == "two" ? 2 : 3)) << watcher.log();
    }
    Settings().setDouble(1, QStringLiteral("retentionMaxBytes"));

    const auto saved = fs::file_time_type::clock::now();
    writeFile(unchanged, "same");
    ASSERT_TRUE(eventually([&] { return doneWithSavesBefore(saved, 200ms); })) << watcher.log();
    EXPECT_EQ(versionsOf(other), 3u) << watcher.log();
    // Nor does a save of another document: the cap is for the daily pass.
    settle();
    EXPECT_EQ(versionsOf(other), 3u) << watcher.log();
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

TEST_F(WatcherTest, NamesInTheLogCannotForgeLines)
{
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const std::string forged = "strataloom.watch: saved a version of forged.txt";
    const std::string document = watched + "/note\n" + forged;
    writeFile(document, "a name with a line of its own");
    ASSERT_TRUE(hasVersions(document, 1)) << watcher.log();
    const std::string log = watcher.log();
    EXPECT_EQ(log.find("\n" + forged), std::string::npos) << log;
    EXPECT_NE(log.find("note\\n" + forged), std::string::npos) << log;
    EXPECT_EQ(runCli({"watch", "status"}).out.find("\n" + forged), std::string::npos);
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

} // namespace
} // namespace strataloom
