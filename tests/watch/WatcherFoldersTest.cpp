// Which folders the watcher watches: never Strataloom's own, whatever the
// path to them; again as soon as one that went comes back; and, past the
// inotify limit, by rescans.
#include "WatcherTestSupport.h"
#include "support/StoredContents.h"

#include <gtest/gtest.h>

#include <fstream>

namespace strataloom {
namespace {

using namespace test;

// Whether the status lists `folder` as not watched, and no folder as watched.
bool listedAsNotWatched(const std::string& folder)
{
    const auto now = status();
    return now && now->folders.empty() && now->notWatched.size() == 1 && now->notWatched[0].path == folder;
}

class WatcherFoldersTest : public WatcherTest {
protected:
    // No document of the store is inside `folder`.
    static ::testing::AssertionResult nothingVersionedIn(const std::string& folder)
    {
        for (const auto& [path, versions] : documents())
            if (path.rfind(folder + "/", 0) == 0)
                return ::testing::AssertionFailure() << path << " was versioned";
        return ::testing::AssertionSuccess();
    }
};

TEST_F(WatcherFoldersTest, OwnFoldersReachedByAnotherPathAreNeverVersioned)
{
    if (const std::string why = privateMounts(); !why.empty())
        GTEST_SKIP() << why;
    // The store, the state folder and the settings folder exist before start.
    const std::string elsewhere = makeScratchFolder("elsewhere") + "/kept.txt";
    // Kept as a file of its own, which makes its document a folder.
    writeFile(elsewhere, unpackable("kept"));
    ASSERT_EQ(runCli({"save-version", elsewhere}).exitCode, 0);
    ASSERT_TRUE(makeWatchStateFolder());
    const std::string settingsFolder = fs::path(WatchSettings().fileName()).parent_path();
    const std::string configHome = fs::path(settingsFolder).parent_path();
    WatchSettings settings;
    settings.setFolders({watched, configHome}); // the settings file by its own path too
    ASSERT_TRUE(settings.save());

    // The settings file by a second name.
    fs::create_hard_link(WatchSettings().fileName(), watched + "/settings.conf");
    Mounts mounts;
    const std::map<std::string, std::string> seconds{{watched + "/store", FileVersionStore::defaultLocation()},
                                                     {watched + "/state", watchStateFolder()},
                                                     {watched + "/settings", settingsFolder},
                                                     {watched + "/store later", FileVersionStore::defaultLocation()}};
    // Part of the store: the folder of the document versioned above.
    fs::create_directories(watched + "/document copy");
    std::string documentFolder;
    for (const auto& entry : fs::directory_iterator(FileVersionStore::defaultLocation() + "/documents"))
        if (entry.is_directory())
            documentFolder = entry.path();
    ASSERT_FALSE(documentFolder.empty());
    ASSERT_TRUE(mounts.bind(documentFolder, watched + "/document copy"));
    for (const auto& [at, own] : seconds) {
        fs::create_directories(at);
        if (at != watched + "/store later") {
            ASSERT_TRUE(mounts.bind(own, at)) << at;
        }
    }
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    // A second path that appears while it runs.
    ASSERT_TRUE(mounts.bind(FileVersionStore::defaultLocation(), watched + "/store later"));
    // Saves write to the store, its logs and the status.
    for (const char* contents : {"one", "two"}) {
        writeFile(watched + "/document.txt", contents);
        settle();
    }
    for (const auto& [at, own] : seconds)
        EXPECT_TRUE(nothingVersionedIn(at)) << watcher.log();
    EXPECT_TRUE(nothingVersionedIn(settingsFolder));
    EXPECT_TRUE(nothingVersionedIn(watched + "/document copy"));
    EXPECT_EQ(versionsOf(watched + "/settings.conf"), 0u);
    EXPECT_EQ(versionsOf(watched + "/document.txt"), 2u);
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

struct Departure {
    const char* how;
    // Takes the watched folder away; brings it back with a file named after
    // `how` that it did not hold before.
    std::function<void(const std::string&watched, const std::string&aside)> leave, comeBack;
};

TEST_F(WatcherFoldersTest, AWatchedFolderThatGoesIsWatchedAgainWhenItComesBack)
{
    const std::vector<Departure> departures{
        {"deleted and made again", [](const std::string& folder, const std::string&) { fs::remove_all(folder); },
         [](const std::string& folder, const std::string&) {
             fs::create_directories(folder);
             writeFile(folder + "/deleted and made again.txt", "made again");
         }},
        {"moved away and back",
         [](const std::string& folder, const std::string& aside) {
             fs::rename(folder, aside);
             writeFile(aside + "/moved away and back.txt", "written while away");
         },
         [](const std::string& folder, const std::string& aside) { fs::rename(aside, folder); }},
    };
    for (const Departure& departure : departures) {
        SCOPED_TRACE(departure.how);
        const std::string aside = makeScratchFolder("aside") + "/moved";
        writeFile(watched + "/before.txt", "before");
        WatcherProcess watcher;
        ASSERT_TRUE(watcher.waitReady()) << watcher.log();
        ASSERT_TRUE(hasVersions(watched + "/before.txt", 1));

        departure.leave(watched, aside);
        EXPECT_TRUE(eventually([&] { return listedAsNotWatched(watched); })) << watcher.log();
        EXPECT_NE(runCli({"watch", "status"}).out.find("0 folders watched"), std::string::npos);
        EXPECT_NE(watcher.log().find("not watching"), std::string::npos) << watcher.log();

        departure.comeBack(watched, aside);
        EXPECT_TRUE(hasVersions(watched + "/" + departure.how + ".txt", 1)) << watcher.log();
        settle(); // saved after it came back: watched, not only scanned
        EXPECT_TRUE(eventually([&] { return status() && status()->notWatched.empty(); }));
        EXPECT_EQ(watcher.stop(), 0) << watcher.log();
        fs::remove_all(watched);
        fs::create_directories(watched);
    }
}

TEST_F(WatcherFoldersTest, AFileSystemUnmountedAndMountedAgainInsideIsWatchedAgain)
{
    if (const std::string why = privateMounts(); !why.empty())
        GTEST_SKIP() << why;
    Mounts mounts;
    const std::string disk = watched + "/disk";
    fs::create_directories(disk);
    ASSERT_TRUE(mounts.tmpfs(disk, "4m"));
    writeFile(disk + "/first.txt", "on the first mount");
    WatcherProcess watcher;
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    ASSERT_TRUE(hasVersions(disk + "/first.txt", 1));

    ASSERT_TRUE(mounts.unmount(disk));
    // The folder it covered is watched in its place.
    writeFile(disk + "/beneath.txt", "beneath");
    EXPECT_TRUE(hasVersions(disk + "/beneath.txt", 1)) << watcher.log();

    ASSERT_TRUE(mounts.tmpfs(disk, "4m"));
    writeFile(disk + "/second.txt", "on the second mount");
    EXPECT_TRUE(hasVersions(disk + "/second.txt", 1)) << watcher.log();
    writeFile(disk + "/second.txt", "saved again");
    EXPECT_TRUE(hasVersions(disk + "/second.txt", 2)) << watcher.log();
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

// The inotify limit of a user namespace of the test's own, which is lower
// than that of its parent: the limit the watcher meets is real.
std::string lowInotifyLimit(int watches)
{
    if (geteuid() != 0)
        return "a user namespace mapping root needs root";
    if (unshare(CLONE_NEWUSER) != 0)
        return std::string("cannot make a user namespace: ") + std::strerror(errno);
    for (const auto& [file, text] :
         {std::pair{"/proc/self/uid_map", "0 0 1"}, std::pair{"/proc/self/setgroups", "deny"},
          std::pair{"/proc/self/gid_map", "0 0 1"}}) {
        std::ofstream out(file);
        if (!(out << text) || !out.flush())
            return std::string("cannot write ") + file;
    }
    std::ofstream limit("/proc/sys/user/max_inotify_watches");
    if (!(limit << watches) || !limit.flush())
        return "cannot lower the inotify limit";
    return {};
}

TEST_F(WatcherFoldersTest, FoldersPastTheInotifyLimitAreRescanned)
{
    fs::create_directories(watched + "/a/b");
    // The settings folder and the watched folder take the two watches allowed.
    if (const std::string why = lowInotifyLimit(2); !why.empty())
        GTEST_SKIP() << why;
    WatcherProcess watcher("0.2", {"STRATALOOM_TEST_RESCAN_MS=300"});
    ASSERT_TRUE(watcher.waitReady()) << watcher.log();
    EXPECT_NE(watcher.log().find("inotify watches allowed"), std::string::npos) << watcher.log();
    EXPECT_TRUE(eventually([] { return status() && status()->watchLimitReached; }));
    EXPECT_NE(runCli({"watch", "status"}).out.find("looked at again"), std::string::npos);
    writeFile(watched + "/a/b/unwatched.txt", "seen by a rescan");
    EXPECT_TRUE(hasVersions(watched + "/a/b/unwatched.txt", 1)) << watcher.log();
    settle(); // the watched folder still is
    EXPECT_EQ(watcher.stop(), 0) << watcher.log();
}

} // namespace
} // namespace strataloom
