#include "platform/FileVersionStore.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

using test::makeScratchFolder;
using test::readFile;
using test::writeFile;
namespace fs = std::filesystem;

FileUrl url(const std::string& path)
{
    return FileUrl::fromPath(path);
}

std::vector<std::string> contentsOf(const std::vector<FileVersion>& versions)
{
    std::vector<std::string> contents;
    for (const FileVersion& version : versions)
        contents.push_back(readFile(version.URL().path()));
    return contents;
}

std::vector<std::string> listed(const std::string& document)
{
    FileVersionStore store;
    const auto versions = store.otherVersionsOfItem(url(document));
    EXPECT_TRUE(versions) << document;
    return versions ? contentsOf(*versions) : std::vector<std::string>{};
}

// Runs `body` in a child process and waits for it; true when it exited 0.
template <typename Body>
bool inChildProcess(Body body)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(body() ? 0 : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class VersionStore : public testing::Test {
protected:
    // Adds a version of `document` whose contents are `contents`.
    void add(const std::string& document, const std::string& contents)
    {
        const std::string file = folder + "/contents";
        writeFile(file, contents);
        std::string error;
        ASSERT_TRUE(FileVersionStore().addVersionOfItem(url(document), url(file), &error)) << error;
    }

    std::string folder = makeScratchFolder("documents");
    std::string document = folder + "/Report.txt";
};

TEST_F(VersionStore, ReadingBeforeAnyAddListsNothingAndCreatesNothing)
{
    writeFile(document, "now");
    FileVersionStore store;
    const auto versions = store.otherVersionsOfItem(url(document));
    ASSERT_TRUE(versions);
    EXPECT_TRUE(versions->empty());
    EXPECT_FALSE(fs::exists(store.location()));
    EXPECT_EQ(store.location(), std::string(std::getenv("XDG_DATA_HOME")) + "/strataloom");

    const auto current = store.currentVersionOfItem(url(document));
    ASSERT_TRUE(current);
    EXPECT_EQ(current->URL().path(), document);
    EXPECT_TRUE(current->hasLocalContents());
    EXPECT_EQ(current->size(), 3u);
    EXPECT_FALSE(store.currentVersionOfItem(url(folder + "/missing")));
}

TEST_F(VersionStore, VersionsKeepTheOrderTheyWereAddedInAcrossProcesses)
{
    writeFile(document, "now");
    add(document, "first");
    ASSERT_TRUE(inChildProcess([&] {
        writeFile(folder + "/second", "second");
        return FileVersionStore().addVersionOfItem(url(document), url(folder + "/second")).has_value();
    }));
    add(document, "third");
    EXPECT_EQ(listed(document), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_TRUE(inChildProcess([&] { return listed(document).size() == 3; }));
    // The contents file stays where it was; the document is untouched.
    EXPECT_EQ(readFile(folder + "/contents"), "third");
    EXPECT_EQ(readFile(document), "now");
}

TEST_F(VersionStore, BothDatesTravelWithTheVersionToTheStoredFile)
{
    writeFile(document, "now");
    const std::string contents = folder + "/old";
    writeFile(contents, "old");
    const FileDates dates{{978'307'200, 123'456'789}, {1'577'934'245, 987'654'321}};
    ASSERT_TRUE(setDates(contents, dates));

    const auto added = FileVersionStore().addVersionOfItem(url(document), url(contents));
    ASSERT_TRUE(added);
    EXPECT_EQ(added->dates(), dates);
    const auto versions = FileVersionStore().otherVersionsOfItem(url(document));
    ASSERT_TRUE(versions && versions->size() == 1);
    EXPECT_EQ(versions->front().dates(), dates);
    EXPECT_EQ(readDates(versions->front().URL().path()), dates);
    EXPECT_EQ(versions->front().size(), 3u);
}

TEST_F(VersionStore, MissingOrAlteredStoredFilesAreListedButNotLocal)
{
    writeFile(document, "now");
    for (const char* contents : {"gone", "bitrot", "chmod", "restored", "fine"})
        add(document, contents);
    auto versions = *FileVersionStore().otherVersionsOfItem(url(document));
    ASSERT_EQ(versions.size(), 5u);
    const auto path = [&](int i) { return versions[i].URL().path(); };
    ASSERT_EQ(unlink(path(0).c_str()), 0);
    writeFile(path(1), "bitROT");
    ASSERT_EQ(chmod(path(2).c_str(), 0400), 0);
    // As a backup restore would: same bytes, another file.
    ASSERT_EQ(rename(path(3).c_str(), (folder + "/aside").c_str()), 0);
    writeFile(path(3), "restored");

    versions = *FileVersionStore().otherVersionsOfItem(url(document));
    ASSERT_EQ(versions.size(), 5u);
    EXPECT_FALSE(versions[0].hasLocalContents());
    EXPECT_FALSE(versions[1].hasLocalContents());
    EXPECT_TRUE(versions[2].hasLocalContents());
    EXPECT_TRUE(versions[3].hasLocalContents());
    EXPECT_TRUE(versions[4].hasLocalContents());

    writeFile(path(4), "fine but longer");
    EXPECT_FALSE(versions[4].hasLocalContents());
    ASSERT_EQ(unlink(path(2).c_str()), 0);
    ASSERT_EQ(symlink((folder + "/aside").c_str(), path(2).c_str()), 0);
    EXPECT_FALSE(versions[2].hasLocalContents());
}

TEST_F(VersionStore, LargeContentsAreCopiedAndHashedExactly)
{
    writeFile(document, "now");
    std::string contents(5 * 1024 * 1024 + 4321, '\0');
    std::mt19937 random(7);
    for (char& byte : contents)
        byte = static_cast<char>(random());
    add(document, contents);
    const auto versions = *FileVersionStore().otherVersionsOfItem(url(document));
    ASSERT_EQ(versions.size(), 1u);
    const std::string stored = versions[0].URL().path();
    EXPECT_EQ(readFile(stored), contents);
    // A changed change time makes the check hash the whole file.
    ASSERT_EQ(chmod(stored.c_str(), 0400), 0);
    EXPECT_TRUE(versions[0].hasLocalContents());
    contents[3 * 1024 * 1024 + 17] ^= 1;
    writeFile(stored, contents);
    EXPECT_FALSE(versions[0].hasLocalContents());
}

TEST_F(VersionStore, CopiesLeftByDeadWritersAreCleanedUp)
{
    writeFile(document, "now");
    add(document, "v0");
    const std::string tmp = FileVersionStore::defaultLocation() + "/tmp/";
    const struct timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (const char* name : {"dead.part", "locked.part", "fresh.part"}) {
        writeFile(tmp + name, "partial");
        if (std::string(name) != "fresh.part") {
            ASSERT_EQ(utimensat(AT_FDCWD, (tmp + name).c_str(), hourAgo, 0), 0);
        }
    }
    // A writer that is still alive holds a lock on its copy.
    const int locked = open((tmp + "locked.part").c_str(), O_RDONLY);
    ASSERT_EQ(flock(locked, LOCK_EX), 0);

    add(document, "v1");
    EXPECT_FALSE(fs::exists(tmp + "dead.part"));
    EXPECT_TRUE(fs::exists(tmp + "locked.part"));
    EXPECT_TRUE(fs::exists(tmp + "fresh.part"));
    close(locked);
    EXPECT_EQ(listed(document), (std::vector<std::string>{"v0", "v1"}));
}

TEST_F(VersionStore, AnUnreadableIndexListsNothingAndRefusesAdds)
{
    writeFile(document, "now");
    add(document, "v0");
    const std::string index = FileVersionStore::defaultLocation() + "/index.sqlite";
    for (const char* wal : {"-wal", "-shm"})
        fs::remove(index + wal);
    writeFile(index, std::string(8192, 'x'));

    FileVersionStore store;
    EXPECT_FALSE(store.otherVersionsOfItem(url(document)));
    writeFile(folder + "/contents", "v1");
    std::string error;
    EXPECT_FALSE(store.addVersionOfItem(url(document), url(folder + "/contents"), &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(VersionStore, AnIndexFromANewerReleaseIsNotTouched)
{
    writeFile(document, "now");
    add(document, "v0");
    const std::string index = FileVersionStore::defaultLocation() + "/index.sqlite";
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open(index.c_str(), &database), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(database, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(database);

    FileVersionStore store;
    EXPECT_FALSE(store.otherVersionsOfItem(url(document)));
    writeFile(folder + "/contents", "v1");
    EXPECT_FALSE(store.addVersionOfItem(url(document), url(folder + "/contents")));
}

TEST_F(VersionStore, FailedAddsReportWhyAndLeaveNothingListed)
{
    writeFile(document, "now");
    fs::create_directory(folder + "/sub");
    writeFile(folder + "/contents", "x");
    ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0600), 0);
    FileVersionStore store;
    const std::pair<std::string, std::string> cases[] = {
        {folder + "/missing", folder + "/contents"},
        {document, folder + "/missing"},
        {document, folder + "/sub"},
        {document, folder + "/pipe"},
        {folder + "/pipe", folder + "/contents"},
        {folder + "/sub", folder + "/contents"},
    };
    for (const auto& [item, contents] : cases) {
        SCOPED_TRACE(item + " <- " + contents);
        std::string error;
        EXPECT_FALSE(store.addVersionOfItem(url(item), url(contents), &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(listed(document).empty());
}

TEST_F(VersionStore, SavingAVersionRecordsTheDocumentsOwnContents)
{
    writeFile(document, "draft 1");
    ASSERT_TRUE(FileVersionStore().saveVersionOfItem(url(document)));
    writeFile(document, "draft 2");
    ASSERT_TRUE(FileVersionStore().saveVersionOfItem(url(document)));
    EXPECT_EQ(listed(document), (std::vector<std::string>{"draft 1", "draft 2"}));
}

TEST_F(VersionStore, SymlinksResolveToTheirTarget)
{
    writeFile(document, "now");
    const std::string link = folder + "/link";
    ASSERT_EQ(symlink("Report.txt", link.c_str()), 0);
    add(link, "via link");
    add(document, "direct");
    EXPECT_EQ(listed(link), (std::vector<std::string>{"via link", "direct"}));
    EXPECT_EQ(listed(document), listed(link));
    EXPECT_EQ(FileVersionStore().currentVersionOfItem(url(link))->URL().path(), document);
}

TEST_F(VersionStore, DocumentsAreKeptApart)
{
    writeFile(document, "now");
    writeFile(folder + "/Other.txt", "other");
    add(document, "mine");
    add(folder + "/Other.txt", "theirs");
    EXPECT_EQ(listed(document), std::vector<std::string>{"mine"});
    EXPECT_EQ(listed(folder + "/Other.txt"), std::vector<std::string>{"theirs"});
}

TEST_F(VersionStore, RenamingOrMovingTheDocumentKeepsItsVersions)
{
    writeFile(document, "now");
    add(document, "v0");
    const std::string renamed = folder + "/Renamed.txt";
    ASSERT_EQ(rename(document.c_str(), renamed.c_str()), 0);
    EXPECT_EQ(listed(renamed), std::vector<std::string>{"v0"});
    add(renamed, "v1");

    fs::create_directory(folder + "/elsewhere");
    const std::string moved = folder + "/elsewhere/Moved.txt";
    ASSERT_EQ(rename(renamed.c_str(), moved.c_str()), 0);
    add(moved, "v2");
    EXPECT_EQ(listed(moved), (std::vector<std::string>{"v0", "v1", "v2"}));
    // A new document at an old path does not inherit them.
    writeFile(document, "new");
    EXPECT_TRUE(listed(document).empty());
}

TEST_F(VersionStore, SavingByReplacingTheFileKeepsItsVersions)
{
    writeFile(document, "now");
    add(document, "v0");
    writeFile(folder + "/.Report.txt.tmp", "saved");
    ASSERT_EQ(rename((folder + "/.Report.txt.tmp").c_str(), document.c_str()), 0);
    EXPECT_EQ(listed(document), std::vector<std::string>{"v0"});
    add(document, "v1");
    EXPECT_EQ(listed(document), (std::vector<std::string>{"v0", "v1"}));

    // Renamed, looked at under its new name, then saved by replacement there.
    const std::string renamed = folder + "/Renamed.txt";
    ASSERT_EQ(rename(document.c_str(), renamed.c_str()), 0);
    EXPECT_EQ(listed(renamed).size(), 2u);
    writeFile(folder + "/.tmp", "saved again");
    ASSERT_EQ(rename((folder + "/.tmp").c_str(), renamed.c_str()), 0);
    EXPECT_EQ(listed(renamed), (std::vector<std::string>{"v0", "v1"}));
}

TEST_F(VersionStore, ACopyCarryingTheIdentityIsADocumentOfItsOwn)
{
    writeFile(document, "now");
    add(document, "original v0");
    const std::string copy = folder + "/Copy.txt";
    const std::string command = "cp -a '" + document + "' '" + copy + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(listed(copy).empty());
    add(copy, "copy v0");
    EXPECT_EQ(listed(copy), std::vector<std::string>{"copy v0"});
    add(document, "original v1");
    EXPECT_EQ(listed(document), (std::vector<std::string>{"original v0", "original v1"}));
    EXPECT_EQ(listed(copy), std::vector<std::string>{"copy v0"});
}

TEST_F(VersionStore, NamesThatAreNotUtf8AndNearTheLengthLimit)
{
    const std::string name = std::string(242, '\xe9') + "\xff\xfe name.t\x80t";
    ASSERT_EQ(name.size(), 253u);
    const std::string odd = folder + "/" + name;
    writeFile(odd, "now");
    const std::string contents = folder + "/" + std::string(255, '\xc3');
    writeFile(contents, "old bytes");
    ASSERT_TRUE(FileVersionStore().addVersionOfItem(url(odd), url(contents)));
    EXPECT_EQ(listed(odd), std::vector<std::string>{"old bytes"});
    EXPECT_EQ(FileVersionStore().currentVersionOfItem(url(odd))->URL().lastPathComponent(), name);
}

// Contents that tell which add they were written for, of varying sizes.
std::string contentsFor(int number)
{
    std::string contents = "version " + std::to_string(number) + "\n";
    contents.resize(contents.size() + static_cast<std::size_t>(number % 7) * 40'000, static_cast<char>('a' + number % 26));
    return contents;
}

TEST_F(VersionStore, KillingAnAddingProcessNeverLeavesABrokenOrLostVersion)
{
    writeFile(document, "now");
    std::mt19937 random(20240611);
    int reported = 0;
    for (int round = 0; round < 6; ++round) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(pipeFds[0]);
            FileVersionStore store;
            const std::string contents = folder + "/contents-" + std::to_string(round);
            for (int i = round * 1000;; ++i) {
                writeFile(contents, contentsFor(i));
                if (!store.addVersionOfItem(url(document), url(contents)))
                    _exit(1);
                if (write(pipeFds[1], &i, sizeof i) != sizeof i)
                    _exit(1);
            }
        }
        close(pipeFds[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 80));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the adding process failed on its own";
        int number = 0;
        while (read(pipeFds[0], &number, sizeof number) == sizeof number)
            ++reported;
        close(pipeFds[0]);
    }

    const auto versions = FileVersionStore().otherVersionsOfItem(url(document));
    ASSERT_TRUE(versions);
    // Every add that returned is there; at most one more per kill.
    EXPECT_GE(versions->size(), static_cast<std::size_t>(reported));
    EXPECT_LE(versions->size(), static_cast<std::size_t>(reported) + 6);
    int previous = -1;
    for (const FileVersion& version : *versions) {
        ASSERT_TRUE(version.hasLocalContents()) << version.URL().path();
        const std::string contents = readFile(version.URL().path());
        const int number = std::atoi(contents.c_str() + 8);
        EXPECT_EQ(contents, contentsFor(number));
        EXPECT_GT(number, previous);
        previous = number;
    }
    // The store still takes adds.
    add(document, "after");
    EXPECT_EQ(listed(document).back(), "after");
}

TEST_F(VersionStore, TwoProcessesAddingAtOnceBothSucceed)
{
    writeFile(document, "now");
    constexpr int kEach = 30;
    int barrier[2];
    ASSERT_EQ(pipe(barrier), 0);
    std::vector<pid_t> children;
    for (const char* label : {"A", "B"}) {
        const pid_t child = fork();
        if (child == 0) {
            char go;
            close(barrier[1]);
            if (read(barrier[0], &go, 1) != 0)
                _exit(2);
            FileVersionStore store;
            const std::string contents = folder + "/contents-" + label;
            for (int i = 0; i < kEach; ++i) {
                writeFile(contents, std::string(label) + std::to_string(i));
                std::string error;
                if (!store.addVersionOfItem(url(document), url(contents), &error)) {
                    std::fprintf(stderr, "%s\n", error.c_str());
                    _exit(1);
                }
            }
            _exit(0);
        }
        children.push_back(child);
    }
    close(barrier[0]);
    close(barrier[1]);  // both start now
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto contents = listed(document);
    ASSERT_EQ(contents.size(), 2u * kEach);
    int next[2] = {0, 0};
    for (const std::string& item : contents) {
        const int which = item[0] == 'A' ? 0 : 1;
        EXPECT_EQ(item.substr(1), std::to_string(next[which]++));
    }
}

} // namespace
} // namespace strataloom
