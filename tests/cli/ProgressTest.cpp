#include "archive/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::entriesOf;
using test::runCli;

struct PtyResult {
    int exitCode = -1;
    std::string terminal;  // everything written to stderr, as the terminal got it
};

// Runs strataloom-cli with stderr (and stdin) on a new pseudo-terminal and
// stdout in a file. `whileRunning` is called once the child has started and
// before its terminal output is read: until then the child blocks as soon as
// the terminal's buffer is full, so it cannot run ahead of the test.
PtyResult runOnTerminal(const std::vector<std::string>& arguments,
                        const std::function<void(pid_t)>& whileRunning = {})
{
    const std::string out = test::makeScratchFolder("pty-output") + "/out";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(STRATALOOM_CLI));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (file < 0 || dup2(file, STDOUT_FILENO) < 0)
            _exit(127);
        execv(STRATALOOM_CLI, argv.data());
        _exit(127);
    }
    PtyResult result;
    if (child < 0)
        return result;
    if (whileRunning)
        whileRunning(child);
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got > 0)
            result.terminal.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;  // EIO once the child has closed its side
    }
    close(master);
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

// Waits until `ready` holds; false after a generous limit.
bool waitFor(const std::function<bool()>& ready)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string entryName(const std::string& base, std::size_t index, const std::string& extension)
{
    char number[8];
    std::snprintf(number, sizeof number, "%05zu", index);
    return base + number + extension;
}

class Progress : public testing::Test {
protected:
    FileVersionStore store;
    std::string documents = test::makeScratchFolder("documents");
    // Long names make each progress line long, so the terminal fills quickly.
    std::string base = std::string(180, 'n');

    FileUrl documentWithManyVersions(std::size_t count)
    {
        std::vector<std::string> contents;
        for (std::size_t i = 0; i < count; ++i)
            contents.push_back("version " + std::to_string(i));
        return test::documentWithVersions(store, documents, base + ".txt", contents, "current");
    }
};

TEST_F(Progress, ArchiveAndUnarchiveShowItOnlyOnATerminalAndClearIt)
{
    const FileUrl document = documentWithManyVersions(3);
    const PtyResult archived = runOnTerminal({"archive", document.path(), documents + "/on a terminal"});
    EXPECT_EQ(archived.exitCode, 0) << archived.terminal;
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_NE(archived.terminal.find(std::to_string(i) + "/4 " + entryName(base, i, ".txt")), std::string::npos)
            << archived.terminal;
    // The last thing on the terminal erases the line.
    EXPECT_EQ(archived.terminal.substr(archived.terminal.size() - 4), "\r\033[K");

    const PtyResult unarchived = runOnTerminal({"unarchive", documents + "/on a terminal", documents + "/back.txt"});
    EXPECT_EQ(unarchived.exitCode, 0) << unarchived.terminal;
    EXPECT_NE(unarchived.terminal.find("3/4 " + entryName(base, 2, ".txt")), std::string::npos)
        << unarchived.terminal;
    EXPECT_EQ(unarchived.terminal.substr(unarchived.terminal.size() - 4), "\r\033[K");

    const test::CliResult quietArchive = runCli({"archive", document.path(), documents + "/not a terminal"});
    EXPECT_EQ(quietArchive.exitCode, 0);
    EXPECT_EQ(quietArchive.err, "");
    const test::CliResult quietUnarchive =
        runCli({"unarchive", documents + "/not a terminal", documents + "/back again.txt"});
    EXPECT_EQ(quietUnarchive.exitCode, 0);
    EXPECT_EQ(quietUnarchive.err, "");
}

TEST_F(Progress, CtrlCStopsAnArchiveBetweenEntriesAndKeepsWhatWasWritten)
{
    constexpr std::size_t kVersions = 1500;
    const FileUrl document = documentWithManyVersions(kVersions);
    const std::string folder = documents + "/interrupted";
    const PtyResult result = runOnTerminal({"archive", document.path(), folder}, [&](pid_t child) {
        EXPECT_TRUE(waitFor([&] { return fs::exists(folder) && entriesOf(folder).size() >= 2; }));
        kill(child, SIGINT);
    });
    EXPECT_EQ(result.exitCode, 130);
    EXPECT_NE(result.terminal.find("strataloom-cli: interrupted"), std::string::npos) << result.terminal;

    const std::set<std::string> written = entriesOf(folder);
    ASSERT_GE(written.size(), 2u);
    EXPECT_LT(written.size(), kVersions + 1);
    // Entries 0 .. k-1, each whole; nothing after them.
    for (std::size_t i = 0; i < written.size(); ++i) {
        const std::string name = entryName(base, i, ".txt");
        ASSERT_TRUE(written.count(name)) << name;
        EXPECT_EQ(test::readFile(folder + "/" + name), "version " + std::to_string(i));
        EXPECT_EQ(readDates(folder + "/" + name), test::historicalDates(static_cast<int>(i)));
    }
}

TEST_F(Progress, CtrlCStopsAnUnarchiveAndKeepsTheFileWithTheVersionsAddedSoFar)
{
    constexpr std::size_t kEntries = 1500;
    const std::string folder = test::makeScratchFolder("entries");
    for (std::size_t i = 0; i < kEntries; ++i)
        test::writeFile(folder + "/" + entryName(base, i, ".txt"), "entry " + std::to_string(i));
    const std::string created = documents + "/restored.txt";
    const PtyResult result = runOnTerminal({"unarchive", folder, created}, [&](pid_t child) {
        EXPECT_TRUE(waitFor([&] {
            FileVersionStore reader;
            return fs::exists(created) && reader.otherVersionsOfItem(FileUrl::fromPath(created)).value().size() >= 2;
        }));
        kill(child, SIGINT);
    });
    EXPECT_EQ(result.exitCode, 130) << result.terminal;

    EXPECT_EQ(test::readFile(created), "entry " + std::to_string(kEntries - 1));
    FileVersionStore reader;
    const std::vector<FileVersion> versions = reader.otherVersionsOfItem(FileUrl::fromPath(created)).value();
    ASSERT_GE(versions.size(), 2u);
    EXPECT_LT(versions.size(), kEntries - 1);
    for (std::size_t i = 0; i < versions.size(); ++i) {
        EXPECT_TRUE(versions[i].hasLocalContents());
        EXPECT_EQ(test::readFile(versions[i].URL().path()), "entry " + std::to_string(i));
    }
}

} // namespace
} // namespace strataloom
