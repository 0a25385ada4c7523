#include "ArchiveOperation.h"
#include "VersionCopy.h"
#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace strataloom {
namespace {

using namespace test;
using Names = std::set<std::string>;
using Messages = std::vector<std::string>;

constexpr int kKilled = -1;
constexpr int kUntraceable = -2;

// Runs `body` in a child process that stops before each of its system calls;
// `beforeSystemCall(n)`, run here at the n-th of them (from 1), returns false to
// kill the child there. The value `body` returned, or kKilled, or kUntraceable
// where this system does not let a process be traced.
int runTraced(const std::function<int()>& body, const std::function<bool(int)>& beforeSystemCall)
{
    const pid_t child = fork();
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(125);
        raise(SIGSTOP);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || WIFEXITED(status))
        return kUntraceable;
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int calls = 0;
    int signal = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, child, nullptr, signal);
        signal = 0;
        if (waitpid(child, &status, 0) != child || WIFSIGNALED(status))
            return kKilled;
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal = WSTOPSIG(status);
            continue;
        }
        __ptrace_syscall_info info{};
        ptrace(PTRACE_GET_SYSCALL_INFO, child, reinterpret_cast<void*>(sizeof info), &info);
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY && !beforeSystemCall(++calls)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return kKilled;
        }
    }
}

bool isTemporary(const std::string& name)
{
    return name.front() == '.' && name.ends_with(".part");
}

struct timespec changeTime(const std::string& path)
{
    struct stat status {};
    lstat(path.c_str(), &status);
    return status.st_ctim;
}

// Supplies a version list without a store behind it.
struct FakeSource : VersionSource {
    std::optional<std::vector<FileVersion>> otherVersionsOfItem(const FileUrl&) override { return others; }
    std::optional<FileVersion> currentVersionOfItem(const FileUrl&) override { return current; }
    std::optional<std::vector<FileVersion>> others;
    std::optional<FileVersion> current;
};

class ArchiveWriter : public testing::Test {
protected:
    // Gives Report.pages these saved versions and "now" as its contents.
    void save(const std::vector<std::string>& versions)
    {
        documentWithVersions(store, documents, "Report.pages", versions, "now");
        fake.current = FileVersion(document);
    }
    // Plain files as `count` stored versions, each with its own contents and
    // dates, and the document as the current one; their contents in order.
    std::vector<std::string> plainVersions(std::size_t count)
    {
        save({});
        std::vector<std::string> contents;
        fake.others.emplace();
        for (std::size_t i = 0; i < count; ++i) {
            const std::string path = documents + "/stored" + std::to_string(i);
            contents.emplace_back(4096 * (i + 1), static_cast<char>('a' + i));
            writeFile(path, contents.back());
            if (!setDates(path, historicalDates(static_cast<int>(i))))
                throw std::runtime_error("cannot set dates");
            fake.others->emplace_back(FileUrl::fromPath(path));
        }
        contents.emplace_back("now");
        return contents;
    }
    std::string entry(std::size_t index) const { return "Report0000" + std::to_string(index) + ".pages"; }
    ArchiveOutcome archive(const std::string& folder, VersionSource& source)
    {
        return writeVersionsArchive(kResponseOK, FileUrl::fromPath(folder), document, "Report", ".pages", source,
                                    reporter);
    }

    FileVersionStore store;
    FakeSource fake;
    RecordingReporter reporter;
    std::string documents = makeScratchFolder("documents");
    FileUrl document = FileUrl::fromPath(documents + "/Report.pages");
    std::string destination = makeScratchFolder("destination") + "/Report versions";
};

TEST_F(ArchiveWriter, EntriesCarryTheStoredFilesContentsAndDatesCurrentLast)
{
    // The second kept as a stored file of its own, whose dates can change.
    save({"first", unpackable("second"), "third"});
    const auto versions = store.otherVersionsOfItem(document).value();
    // The dates are those recorded when each version was added, even when the
    // stored file's own changed since (a backup restored without its times).
    ASSERT_TRUE(setDates(storedPath(store, document, 1), historicalDates(40)));
    EXPECT_EQ(archive(destination, store), ArchiveOutcome::Written);
    EXPECT_TRUE(reporter.errors.empty());
    EXPECT_EQ(entriesOf(destination).size(), 4u);
    const std::string contents[] = {"first", unpackable("second"), "third", "now"};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string entry = destination + "/Report0000" + std::to_string(i) + ".pages";
        EXPECT_EQ(readFile(entry), contents[i]);
        EXPECT_EQ(readDates(entry), i < 3 ? versions[i].dates().value() : readDates(document.path()).value()) << i;
    }
    EXPECT_NE(versions[1].dates().value(), historicalDates(40));
    // Restore as Copy gives the same dates as the archive.
    const auto copy = restoreVersionAsCopy(versions[1], document);
    ASSERT_TRUE(copy);
    EXPECT_EQ(readDates(*copy), readDates(destination + "/" + entry(1)));
}

TEST_F(ArchiveWriter, ASkippedVersionKeepsItsNumberAndAnExistingEntryEndsTheArchive)
{
    save({"v0", "v1", "v2", "v3", "v4"});
    corruptVersion(store, document, 2);
    std::filesystem::create_directory(destination);
    writeFile(destination + "/Report00004.pages", "mine");
    EXPECT_EQ(archive(destination, store), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, (Messages{"Some versions aren't stored locally.", "Couldn't create or write folder."}));
    EXPECT_EQ(entriesOf(destination),
              (Names{"Report00000.pages", "Report00001.pages", "Report00003.pages", "Report00004.pages"}));
    EXPECT_EQ(readFile(destination + "/Report00003.pages"), "v3");
    EXPECT_EQ(readFile(destination + "/Report00004.pages"), "mine");
}

TEST_F(ArchiveWriter, EachRefusalSaysWhyAndOnlyTheLastOneMakesTheFolder)
{
    save({});
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    fake.others.emplace();
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    fake.others->assign(99999, FileVersion(FileUrl::fromPath(documents + "/missing")));
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    fake.others->pop_back();
    EXPECT_EQ(archive(document.path(), fake), ArchiveOutcome::Failed);
    EXPECT_EQ(readFile(document.path()), "now");
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    EXPECT_TRUE(entriesOf(destination).empty());
    EXPECT_EQ(reporter.errors, (Messages{"Couldn't get versions.", "No versions available.",
                                         "Too many versions available.", "Couldn't create or write folder.",
                                         "Versions aren't stored locally. Download and try again."}));
}

TEST_F(ArchiveWriter, The99998thOtherVersionAndTheCurrentOneStillGetFiveDigits)
{
    save({});
    // Only the first and the last other versions are local.
    fake.others.emplace(99998, FileVersion(FileUrl::fromPath(documents + "/missing")));
    fake.others->front() = fake.others->back() = *fake.current;
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Written);
    EXPECT_EQ(entriesOf(destination), (Names{"Report00000.pages", "Report99997.pages", "Report99998.pages"}));
    EXPECT_EQ(reporter.errors.size(), 99996u);
}

// Killed before any one of its system calls, an archive leaves whole entries
// only, each byte for byte its version, and at most the temporary file of the
// entry it was writing, which a later unarchive skips as hidden.
TEST_F(ArchiveWriter, KilledAnywhereItLeavesOnlyCompleteEntriesAndAtMostOneTemporaryFile)
{
    const std::vector<std::string> contents = plainVersions(3);
    int stopsWithATemporaryFile = 0;
    for (int killAt = 1;; ++killAt) {
        SCOPED_TRACE("killed before system call " + std::to_string(killAt));
        std::filesystem::remove_all(destination);
        const int status = runTraced([&] { return static_cast<int>(archive(destination, fake)); },
                                     [&](int call) { return call < killAt; });
        if (status == kUntraceable)
            GTEST_SKIP() << "this system does not let a test trace its child";
        int temporaries = 0;
        std::set<std::string> complete;
        for (const std::string& name : std::filesystem::exists(destination) ? entriesOf(destination) : Names{}) {
            if (isTemporary(name)) {
                ++temporaries;
                continue;
            }
            std::size_t index = 0;
            while (index < contents.size() && name != entry(index))
                ++index;
            ASSERT_LT(index, contents.size()) << name;
            EXPECT_TRUE(readFile(destination + "/" + name) == contents[index]) << name << " is not its whole version";
            complete.insert(name);
        }
        EXPECT_LE(temporaries, 1);
        stopsWithATemporaryFile += temporaries;
        if (status != kKilled) {
            EXPECT_EQ(status, static_cast<int>(ArchiveOutcome::Written));
            EXPECT_EQ(temporaries, 0);
            EXPECT_EQ(complete.size(), contents.size());
            for (std::size_t i = 0; i + 1 < contents.size(); ++i)
                EXPECT_EQ(readDates(destination + "/" + entry(i)), historicalDates(static_cast<int>(i)));
            break;
        }
    }
    EXPECT_GT(stopsWithATemporaryFile, 0);
}

// A link standing at an entry's name, whether there before or swapped in the
// moment the entry appears, never has its target's dates or attributes set.
TEST_F(ArchiveWriter, ALinkAtAnEntrysNameLeavesItsTargetUntouched)
{
    plainVersions(3);
    const std::string outside = makeScratchFolder("outside") + "/target";
    writeFile(outside, "outside");
    ASSERT_TRUE(setDates(outside, historicalDates(9)));
    const struct timespec changed = changeTime(outside);
    const auto untouched = [&] {
        const struct timespec now = changeTime(outside);
        EXPECT_EQ(readFile(outside), "outside");
        EXPECT_EQ(readDates(outside), historicalDates(9));
        EXPECT_TRUE(now.tv_sec == changed.tv_sec && now.tv_nsec == changed.tv_nsec);
    };

    const std::string link = destination + "/" + entry(1);
    std::filesystem::create_directory(destination);
    std::filesystem::create_symlink(outside, link);
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, Messages{"Couldn't create or write folder."});
    EXPECT_EQ(entriesOf(destination), (Names{entry(0), entry(1)}));
    EXPECT_EQ(std::filesystem::read_symlink(link), outside);
    untouched();

    std::filesystem::remove_all(destination);
    bool swapped = false;
    const int status = runTraced([&] { return static_cast<int>(archive(destination, fake)); },
                                 [&](int) {
                                     struct stat status {};
                                     if (!swapped && lstat(link.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
                                         std::filesystem::create_symlink(outside, destination + "/swap");
                                         std::filesystem::rename(destination + "/swap", link);
                                         swapped = true;
                                     }
                                     return true;
                                 });
    if (status == kUntraceable)
        GTEST_SKIP() << "this system does not let a test trace its child";
    EXPECT_TRUE(swapped);
    untouched();
}

} // namespace
} // namespace strataloom
