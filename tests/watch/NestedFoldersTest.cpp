#include "FileVersionStore.h"
#include "StoreMaintenance.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// `strataloom-cli watch run` as a child, its messages kept for failures.
class Watcher {
public:
    Watcher()
        : m_log(test::makeScratchFolder("watcher") + "/log")
    {
        m_pid = fork();
        if (m_pid == 0) {
            const int log = open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (log < 0 || dup2(log, STDERR_FILENO) < 0)
                _exit(127);
            execl(STRATALOOM_CLI, STRATALOOM_CLI, "watch", "run", "--quiet-seconds", "0.2", nullptr);
            _exit(127);
        }
    }
    ~Watcher()
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    std::string log() const { return test::readFile(m_log); }

private:
    std::string m_log;
    pid_t m_pid = -1;
};

std::size_t versionsOf(const std::string& path)
{
    if (!fs::exists(FileVersionStore::defaultLocation()))
        return 0;
    const auto documents = StoreMaintenance(FileVersionStore::defaultLocation()).documents();
    if (!documents)
        return 0;
    for (const StoredDocument& document : *documents)
        if (document.path == path)
            return document.versions;
    return 0;
}

bool hasVersions(const std::string& path, std::size_t count)
{
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (versionsOf(path) != count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

void runWatchCommand(const std::string& command, const std::string& folder)
{
    const test::CliResult result = test::runCli({"watch", command, folder});
    ASSERT_EQ(result.exitCode, 0) << result.err;
}

// A folder watched on its own and inside another watched folder keeps having
// its saves versioned whichever of the two is no longer watched after the
// settings are read again; the outer folder's own saves stop when it goes.
TEST(NestedWatchedFolders, TheInnerFolderKeepsItsVersionsWhenEitherIsRemoved)
{
    const std::string outer = fs::canonical(test::makeScratchFolder("outer")).native();
    const std::string inner = outer + "/inner";
    const std::string other = fs::canonical(test::makeScratchFolder("other")).native();
    fs::create_directories(inner);
    const std::string outerFile = outer + "/outer.txt", innerFile = inner + "/inner.txt";
    test::writeFile(outerFile, "outer");
    test::writeFile(innerFile, "inner");
    for (const std::string& folder : {outer, inner, other})
        runWatchCommand("add", folder);
    Watcher watcher;
    ASSERT_TRUE(hasVersions(outerFile, 1) && hasVersions(innerFile, 1)) << watcher.log();
    // Once a save made after a change of the settings is versioned, the change
    // has been read: the kernel reports both in the order they happened.
    int sentinels = 0;
    const auto settle = [&] {
        const std::string sentinel = other + "/sentinel " + std::to_string(++sentinels);
        test::writeFile(sentinel, "sentinel");
        return hasVersions(sentinel, 1);
    };

    runWatchCommand("remove", inner);
    ASSERT_TRUE(settle()) << watcher.log();
    test::writeFile(innerFile, "inner, edited while only the outer folder is watched");
    EXPECT_TRUE(hasVersions(innerFile, 2)) << watcher.log();

    runWatchCommand("add", inner);
    runWatchCommand("remove", outer);
    ASSERT_TRUE(settle()) << watcher.log();
    test::writeFile(outerFile, "outer, edited once no longer watched");
    test::writeFile(innerFile, "inner, edited once the outer folder is no longer watched");
    EXPECT_TRUE(hasVersions(innerFile, 3)) << watcher.log();
    // The outer file's save came first: had it been seen, it would be versioned by now.
    ASSERT_TRUE(settle()) << watcher.log();
    EXPECT_EQ(versionsOf(outerFile), 1u) << watcher.log();
}

} // namespace
} // namespace strataloom
