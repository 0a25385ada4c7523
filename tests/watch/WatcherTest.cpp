#include "Settings.h"
#include "WatcherTestSupport.h"
#include "support/StoredContents.h"

#include <fstream>

namespace strataloom {
namespace {

using namespace test;

TEST_F(WatcherTest, SavesBecomeVersionsWhicheverWayAnEditorWrites)
{
    for (const char* name : {"in place.txt", "replaced.txt", "backed up.txt", "hidden temporary.txt"})
        writeFile(watched + "/" + name, "first");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    EXPECT_EQ(documents().size(), 4u);

    writeFile(watched + "/in place.txt", "second");
    // Written beside under a temporary name, then renamed over (QSaveFile).
    writeFile(watched + "/replaced.txt.Xy12Ab", "second");
    fs::rename(watched + "/replaced.txt.Xy12Ab", watched + "/replaced.txt");
    // The old file kept as a backup, then a new file written.
    fs::rename(watched + "/backed up.txt", watched + "/backed up.txt~");
    writeFile(watched + "/backed up.txt", "second");
    writeFile(watched + "/.hidden temporary.txt.swp", "second");
    fs::rename(watched + "/.hidden temporary.txt.swp", watched + "/hidden temporary.txt");
    for (const char* name : {"in place.txt", "replaced.txt", "backed up.txt", "hidden temporary.txt"}) {
        const std::string path = watched + "/" + name;
        ASSERT_TRUE(hasVersions(path, 2)) << name << "\n" << watcher.log();
        const auto previous = FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(path)).value();
        ASSERT_EQ(previous.size(), 1u) << name;
        EXPECT_EQ(contentsOf(previous[0]), "first");
        EXPECT_TRUE(previous[0].isAutomatic());
    }
    settle();
    EXPECT_EQ(documents().size(), 5u); // nothing for the temporary names or the backup
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

// With a schedule of seconds instead of hours and days, every version older
// than a second shares one weekly period: each save thins the document to its
// oldest version, that period's newest and the newest.
TEST_F(WatcherTest, EachSaveThinsItsDocument)
{
    Settings settings;
    for (const char* key : {"retentionKeepAllSeconds", "retentionHourlySeconds", "retentionDailySeconds"})
        settings.setDouble(1, QString::fromLatin1(key));
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const std::string document = watched + "/thinned.txt";
    for (std::size_t save = 1; save <= 4; ++save) {
        writeFile(document, "version " + std::to_string(save));
        ASSERT_TRUE(hasVersions(document, std::min<std::size_t>(save, 3))) << save << "\n" << watcher.log();
        std::this_thread::sleep_for(1200ms);
    }
    const auto versions = FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(document));
    ASSERT_TRUE(versions);
    std::vector<std::string> kept;
    for (const FileVersion& version : *versions)
        kept.push_back(contentsOf(version));
    EXPECT_EQ(kept, (std::vector<std::string>{"version 1", "version 3"}));
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

TEST_F(WatcherTest, ASaveInBurstsWithinTheQuietPeriodIsOneVersion)
{
    WatcherProcess watcher("3");
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const std::string document = watched + "/bursts.txt";
    std::string contents;
    for (int burst = 0; burst < 5; ++burst) {
        contents += "burst " + std::to_string(burst) + "\n";
        writeFile(document, contents);
    }
    ASSERT_TRUE(hasVersions(document, 1));
    settle();
    EXPECT_EQ(versionsOf(document), 1u);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, LeftoversOtherFilesAndUnchangedSavesAddNothing)
{
    {
        WatchSettings settings;
        settings.setExcludedPatterns({"*.log"});
        settings.setSizeLimit(64);
        ASSERT_TRUE(settings.save());
    }
    const std::string same = watched + "/same.txt";
    writeFile(same, "unchanged");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    ASSERT_EQ(versionsOf(same), 1u);

    fs::last_write_time(same, fs::file_time_type::clock::now()); // touch
    writeFile(same, "unchanged");
    for (const char* name : {"a.txt~", "#a.txt#", ".a.txt.swp", "4913", "film.part", "lu1.tmp", "debug.log",
                             ".~lock.a.odt#", "~$a.docx", ".hidden"})
        writeFile(watched + "/" + name, "leftover");
    writeFile(watched + "/large.bin", std::string(65, 'x'));
    fs::create_directories(watched + "/.git");
    writeFile(watched + "/.git/config", "");
    ASSERT_EQ(mkfifo((watched + "/pipe").c_str(), 0600), 0);
    fs::create_symlink(same, watched + "/link.txt");
    settle();
    EXPECT_EQ(documents(), (std::map<std::string, std::size_t>{{same, 1}, {watched + "/sentinel 1.txt", 1}}));
    EXPECT_NE(watcher.log().find("large.bin"), std::string::npos) << "a file over the limit is reported";
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, MovedAndDeletedDocumentsKeepTheirVersions)
{
    fs::create_directories(watched + "/folder");
    writeFile(watched + "/a.txt", "a");
    writeFile(watched + "/folder/b.txt", "b");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();

    fs::rename(watched + "/a.txt", watched + "/moved.txt");
    fs::rename(watched + "/folder", watched + "/renamed folder");
    settle();
    EXPECT_EQ(documents().size(), 3u) << "a move is not a new document";
    EXPECT_EQ(FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(watched + "/moved.txt"))->size(), 0u);

    // Saves inside the renamed folder are seen under its new name.
    writeFile(watched + "/renamed folder/b.txt", "b, edited");
    ASSERT_TRUE(hasVersions(watched + "/renamed folder/b.txt", 2)) << watcher.log();

    fs::remove(watched + "/moved.txt");
    settle();
    const auto all = storedDocuments();
    const auto deleted = std::find_if(all.begin(), all.end(), [&](const StoredDocument& document) {
        return document.path == watched + "/moved.txt";
    });
    ASSERT_NE(deleted, all.end());
    EXPECT_EQ(deleted->versions, 1u);
    EXPECT_FALSE(deleted->found);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, FoldersThatAppearAreWatchedWithWhatTheyHold)
{
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();

    // A filled folder moved in from outside.
    const std::string outside = test::makeScratchFolder("outside") + "/project";
    fs::create_directories(outside + "/deep/deeper");
    writeFile(outside + "/plan.txt", "plan");
    writeFile(outside + "/deep/deeper/notes.txt", "notes");
    fs::rename(outside, watched + "/project");
    // A folder made and written to at once.
    fs::create_directories(watched + "/fresh/sub");
    writeFile(watched + "/fresh/sub/first.txt", "first");
    for (const char* path : {"/project/plan.txt", "/project/deep/deeper/notes.txt", "/fresh/sub/first.txt"})
        EXPECT_TRUE(hasVersions(watched + path, 1)) << path << "\n" << watcher.log();

    writeFile(watched + "/project/deep/deeper/notes.txt", "notes, edited");
    EXPECT_TRUE(hasVersions(watched + "/project/deep/deeper/notes.txt", 2)) << watcher.log();
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, FoldersAddedOrRemovedWhileItRunsTakeEffect)
{
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const std::string other = test::makeScratchFolder("other");
    fs::create_directories(other + "/sub");
    writeFile(other + "/sub/old.txt", "old");

    ASSERT_EQ(test::runCli({"watch", "add", other}).exitCode, 0);
    EXPECT_TRUE(hasVersions(other + "/sub/old.txt", 1)) << watcher.log();
    writeFile(other + "/sub/old.txt", "edited");
    EXPECT_TRUE(hasVersions(other + "/sub/old.txt", 2)) << watcher.log();

    ASSERT_EQ(test::runCli({"watch", "remove", other}).exitCode, 0);
    // The removal is read before the sentinel's save, and this save after it.
    settle();
    writeFile(other + "/sub/old.txt", "not watched");
    settle();
    EXPECT_EQ(versionsOf(other + "/sub/old.txt"), 2u);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, EventsTheKernelDroppedAreMadeUpForByAScan)
{
    writeFile(watched + "/a.txt", "a");
    writeFile(watched + "/b.txt", "b");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    // While the watcher cannot read, more events than the kernel queues
    // (fs.inotify.max_queued_events); saves of one file in a row would be
    // merged into one event, so two files take turns.
    ASSERT_EQ(kill(watcher.pid(), SIGSTOP), 0);
    std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
    long queued = 0;
    ASSERT_TRUE(limit >> queued);
    for (long i = 0; i <= queued; ++i)
        close(open((watched + (i % 2 ? "/a.txt" : "/b.txt")).c_str(), O_WRONLY | O_CLOEXEC));
    writeFile(watched + "/missed.txt", "its events were dropped");
    ASSERT_EQ(kill(watcher.pid(), SIGCONT), 0);
    EXPECT_TRUE(hasVersions(watched + "/missed.txt", 1)) << watcher.log();
    EXPECT_NE(watcher.log().find("dropped"), std::string::npos) << watcher.log();
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, OneWatcherAtATimeAndItCatchesUpAfterARestart)
{
    const std::string document = watched + "/document.txt";
    writeFile(document, "version 1");
    {
        WatcherProcess watcher;
        ASSERT_TRUE(watcher.waitReady()) << watcher.log();
        EXPECT_EQ(versionsOf(document), 1u);

        // Another refuses to run beside it, even with a state folder of its own.
        WatcherProcess second("0.2", {"XDG_STATE_HOME=" + makeScratchFolder("other state")});
        int status = 0;
        ASSERT_EQ(waitpid(second.pid(), &status, 0), second.pid());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
        EXPECT_NE(second.log().find("already running"), std::string::npos) << second.log();

        const test::CliResult running = test::runCli({"watch", "status", "--json"});
        EXPECT_NE(running.out.find("\"running\": true"), std::string::npos) << running.out;
        EXPECT_NE(running.out.find("\"pid\": " + std::to_string(watcher.pid())), std::string::npos) << running.out;
        EXPECT_EQ(watcher.stop(), 0) << watcher.log();
    }
    EXPECT_NE(test::runCli({"watch", "status"}).out.find("not running"), std::string::npos);

    // Edits made while no watcher ran are versioned by the start-up scan.
    writeFile(document, "version 2");
    writeFile(watched + "/new.txt", "new");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    EXPECT_EQ(versionsOf(document), 2u);
    EXPECT_EQ(versionsOf(watched + "/new.txt"), 1u);
    EXPECT_EQ(watcher.stop(), 0);
}

TEST_F(WatcherTest, StopsCleanlyDuringALargeFirstScanAndFinishesItAtTheNextStart)
{
    constexpr std::size_t kFiles = 1000;
    for (std::size_t i = 0; i < kFiles; ++i)
        writeFile(watched + "/file " + std::to_string(i) + ".txt", std::string(1024, static_cast<char>('a' + i % 26)));
    {
        WatcherProcess watcher;
        ASSERT_TRUE(eventually([] { return fs::exists(watchStatusPath()); })) << watcher.log();
        EXPECT_EQ(watcher.stop(), 0) << watcher.log();
        EXPECT_FALSE(watcher.readySoFar()) << "stopped before its first scan was done";
    }
    EXPECT_LT(documents().size(), kFiles);
    const test::CliResult check = test::runCli({"check"});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    const auto all = documents();
    EXPECT_EQ(all.size(), kFiles);
    EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](const auto& document) { return document.second == 1; }));
    EXPECT_EQ(watcher.stop(), 0);
}

} // namespace
} // namespace strataloom
