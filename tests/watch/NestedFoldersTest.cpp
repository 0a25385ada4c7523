#include "WatcherTestSupport.h"

namespace strataloom {
namespace {

using namespace test;

void runWatchCommand(const std::string& command, const std::string& folder)
{
    const CliResult result = runCli({"watch", command, folder});
    ASSERT_EQ(result.exitCode, 0) << result.err;
}

// A folder watched on its own and inside another watched folder keeps having
// its saves versioned whichever of the two is no longer watched after the
// settings are read again; the outer folder's own saves stop when it goes.
TEST(NestedWatchedFolders, TheInnerFolderKeepsItsVersionsWhenEitherIsRemoved)
{
    const std::string outer = fs::canonical(makeScratchFolder("outer")).native();
    const std::string inner = outer + "/inner";
    const std::string other = fs::canonical(makeScratchFolder("other")).native();
    fs::create_directories(inner);
    const std::string outerFile = outer + "/outer.txt", innerFile = inner + "/inner.txt";
    writeFile(outerFile, "outer");
    writeFile(innerFile, "inner");
    for (const std::string& folder : {outer, inner, other})
        runWatchCommand("add", folder);
    WatcherProcess watcher;
    ASSERT_TRUE(hasVersions(outerFile, 1) && hasVersions(innerFile, 1)) << watcher.log();
    // Once a save made after a change of the settings is versioned, the change
    // has been read: the kernel reports both in the order they happened.
    int sentinels = 0;
    const auto settle = [&] {
        const std::string sentinel = other + "/sentinel " + std::to_string(++sentinels);
        writeFile(sentinel, "sentinel");
        return hasVersions(sentinel, 1);
    };

    runWatchCommand("remove", inner);
    ASSERT_TRUE(settle()) << watcher.log();
    writeFile(innerFile, "inner, edited while only the outer folder is watched");
    EXPECT_TRUE(hasVersions(innerFile, 2)) << watcher.log();

    runWatchCommand("add", inner);
    runWatchCommand("remove", outer);
    ASSERT_TRUE(settle()) << watcher.log();
    writeFile(outerFile, "outer, edited once no longer watched");
    writeFile(innerFile, "inner, edited once the outer folder is no longer watched");
    EXPECT_TRUE(hasVersions(innerFile, 3)) << watcher.log();
    // The outer file's save came first: had it been seen, it would be versioned by now.
    ASSERT_TRUE(settle()) << watcher.log();
    EXPECT_EQ(versionsOf(outerFile), 1u) << watcher.log();
}

} // namespace
} // namespace strataloom
