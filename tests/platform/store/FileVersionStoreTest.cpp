#include "FileVersionStore.h"
#include "VerifiedCopy.h"
#include "support/ArchiveTestSupport.h"
#include "support/RecordTestSupport.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

using namespace test;
using Contents = std::vector<std::string>;

FileUrl url(const std::string& path)
{
    return FileUrl::fromPath(path);
}

Contents listed(const std::string& document)
{
    return contentsOf(FileVersionStore::defaultLocation(), document);
}

// Runs `body` in a child process, which exits 0 when it returns true.
template <typename Body> pid_t spawn(Body body)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(body() ? 0 : 1);
    return child;
}

// The exit status of `child`, or -1 when it did not exit by itself.
int exitStatusOf(pid_t child)
{
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class VersionStore : public testing::Test {
protected:
    // Adds a version of `item` whose contents are `contents`, staged in the file `staging`.
    std::optional<FileVersion> add(const std::string& item, const std::string& contents,
                                   const std::string& staging = "contents")
    {
        writeFile(folder + "/" + staging, contents);
        return FileVersionStore().addVersionOfItem(url(item), url(folder + "/" + staging));
    }

    std::string folder = makeScratchFolder("documents");
    std::string document = folder + "/Report.txt";
};

TEST_F(VersionStore, OrderAndBothDatesSurviveRestartsAndOtherProcesses)
{
    writeFile(document, "now");
    const FileDates dates{{978'307'200, 123'456'789}, {1'577'934'245, 987'654'321}};
    // Large enough to be a stored file, which carries the dates too.
    writeFile(folder + "/old", unpackable("first"));
    ASSERT_TRUE(setDates(folder + "/old", dates));
    ASSERT_TRUE(FileVersionStore().addVersionOfItem(url(document), url(folder + "/old")));
    ASSERT_EQ(exitStatusOf(spawn([&] { return add(document, "second").has_value(); })), 0);
    ASSERT_TRUE(add(document, "third"));

    EXPECT_EQ(listed(document), (Contents{unpackable("first"), "second", "third"}));
    EXPECT_EQ(exitStatusOf(spawn([&] { return listed(document).size() == 3; })), 0);
    const FileVersion first = FileVersionStore().otherVersionsOfItem(url(document)).value().at(0);
    EXPECT_EQ(first.dates(), dates);
    EXPECT_EQ(readDates(first.URL().path()), dates);
    EXPECT_EQ(readFile(folder + "/old"), unpackable("first"));
    EXPECT_EQ(readFile(document), "now");
}

TEST_F(VersionStore, MissingOrAlteredStoredFilesStayListedButAreNotLocal)
{
    writeFile(document, "now");
    for (const char* contents : {"gone", "bitrot", "chmod", "restored"})
        ASSERT_TRUE(add(document, unpackable(contents)));
    const auto versions = FileVersionStore().otherVersionsOfItem(url(document)).value();
    const auto path = [&](int i) { return versions.at(i).URL().path(); };

    ASSERT_EQ(unlink(path(0).c_str()), 0);
    writeFile(path(1), "bitROT");
    // A new change time makes the check read the whole file.
    ASSERT_EQ(chmod(path(2).c_str(), 0400), 0);
    // As a backup restore would: the same bytes in another file.
    ASSERT_EQ(unlink(path(3).c_str()), 0);
    writeFile(path(3), unpackable("restored"));
    EXPECT_EQ(FileVersionStore().otherVersionsOfItem(url(document))->size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(versions[i].hasLocalContents(), i >= 2) << i;
    writeFile(path(2), "chmod, then longer");
    EXPECT_FALSE(versions[2].hasLocalContents());
}

// Contents that tell which add they were written for, of varying sizes.
std::string contentsFor(int number)
{
    return "version " + std::to_string(number) + "\n" + std::string(number % 7 * 40'000, 'a' + number % 26);
}

TEST_F(VersionStore, KillingAnAddingProcessNeverLeavesABrokenOrLostVersion)
{
    writeFile(document, "now");
    std::size_t reported = 0;
    for (int round = 0; round < 6; ++round) {
        int numbers[2];
        ASSERT_EQ(pipe(numbers), 0);
        const pid_t child = spawn([&] {
            for (int i = round * 1000;; ++i)
                if (!add(document, contentsFor(i)) || write(numbers[1], &i, sizeof i) != sizeof i)
                    return false;
        });
        close(numbers[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 15));
        kill(child, SIGKILL);
        ASSERT_EQ(exitStatusOf(child), -1) << "the adding process failed on its own";
        for (int number = 0; read(numbers[0], &number, sizeof number) == sizeof number;)
            ++reported;
        close(numbers[0]);
    }

    const auto versions = FileVersionStore().otherVersionsOfItem(url(document)).value();
    // Every add that returned is there; at most one more per kill.
    EXPECT_GE(versions.size(), reported);
    EXPECT_LE(versions.size(), reported + 6);
    int previous = -1;
    for (const FileVersion& version : versions) {
        ASSERT_TRUE(version.hasLocalContents()) << version.URL().path();
        const std::string contents = contentsOf(version);
        const int number = std::atoi(contents.c_str() + 8);
        EXPECT_EQ(contents, contentsFor(number));
        EXPECT_GT(number, previous);
        previous = number;
    }
    ASSERT_TRUE(add(document, "after"));
    EXPECT_EQ(listed(document).back(), "after");
}

TEST_F(VersionStore, TwoProcessesAddingAtOnceBothSucceedInTheirOwnOrder)
{
    writeFile(document, "now");
    constexpr int kEach = 30;
    int barrier[2];
    ASSERT_EQ(pipe(barrier), 0);
    std::vector<pid_t> children;
    for (const std::string label : {"A", "B"})
        children.push_back(spawn([&] {
            char go;
            close(barrier[1]);
            bool added = read(barrier[0], &go, 1) == 0;
            for (int i = 0; added && i < kEach; ++i)
                added = add(document, label + std::to_string(i), "contents-" + label).has_value();
            return added;
        }));
    close(barrier[0]);
    close(barrier[1]); // both start now
    for (pid_t child : children)
        EXPECT_EQ(exitStatusOf(child), 0);
    const Contents contents = listed(document);
    ASSERT_EQ(contents.size(), 2u * kEach);
    int next[2] = {0, 0};
    for (const std::string& item : contents)
        EXPECT_EQ(item.substr(1), std::to_string(next[item[0] == 'A' ? 0 : 1]++));
}

TEST_F(VersionStore, RenamesAndSavesByReplacementKeepTheVersionsButCopiesDoNot)
{
    writeFile(document, "now");
    ASSERT_TRUE(add(document, "v0"));
    // Saved as editors do: a new file renamed over the document.
    writeFile(folder + "/.tmp", "saved");
    ASSERT_EQ(rename((folder + "/.tmp").c_str(), document.c_str()), 0);
    ASSERT_TRUE(add(document, "v1"));
    const std::string renamed = folder + "/Renamed.txt";
    ASSERT_EQ(rename(document.c_str(), renamed.c_str()), 0);
    EXPECT_EQ(listed(renamed).size(), 2u);
    writeFile(folder + "/.tmp", "saved again");
    ASSERT_EQ(rename((folder + "/.tmp").c_str(), renamed.c_str()), 0);
    ASSERT_TRUE(add(renamed, "v2"));
    EXPECT_EQ(listed(renamed), (Contents{"v0", "v1", "v2"}));
    // A file without a document id renamed over one continues its history, not another.
    EXPECT_TRUE(FileVersionStore().earlierHistoriesOfItem(url(renamed))->empty());

    // Neither a new document at an old path nor a copy carrying the identity shares them.
    writeFile(document, "new");
    EXPECT_TRUE(listed(document).empty());
    const std::string copy = folder + "/Copy.txt";
    ASSERT_EQ(std::system(("cp -a '" + renamed + "' '" + copy + "'").c_str()), 0);
    EXPECT_TRUE(listed(copy).empty());
    ASSERT_TRUE(add(copy, "copy v0"));
    EXPECT_EQ(listed(copy), Contents{"copy v0"});
    EXPECT_EQ(listed(renamed).size(), 3u);
}

TEST_F(VersionStore, NamesThatAreNotUtf8AndNearTheLengthLimit)
{
    const std::string name = std::string(242, '\xe9') + "\xff\xfe name.t\x80t";
    writeFile(folder + "/" + name, "now");
    ASSERT_TRUE(add(folder + "/" + name, "old bytes", std::string(255, '\xc3')));
    EXPECT_EQ(listed(folder + "/" + name), Contents{"old bytes"});
    EXPECT_EQ(FileVersionStore().currentVersionOfItem(url(folder + "/" + name))->URL().lastPathComponent(), name);
}

TEST_F(VersionStore, AddsOfWhatIsNotAFileSayWhyAndLeaveNothingListed)
{
    writeFile(document, "now");
    ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0600), 0);
    for (const auto& [item, contents] : {std::pair{document, folder + "/pipe"},
                                         {folder + "/pipe", document},
                                         {document, folder},
                                         {folder, document},
                                         {folder + "/missing", document}}) {
        std::string error;
        EXPECT_FALSE(FileVersionStore().addVersionOfItem(url(item), url(contents), &error));
        EXPECT_FALSE(error.empty()) << item << " <- " << contents;
    }
    EXPECT_TRUE(listed(document).empty());
}

TEST_F(VersionStore, AnIndexOfAnotherLayoutIsReportedNotTrusted)
{
    writeFile(document, "now");
    ASSERT_TRUE(add(document, "one"));
    alterIndex(FileVersionStore::defaultLocation(), "ALTER TABLE versions RENAME COLUMN checksum TO other");
    FileVersionStore store;
    EXPECT_FALSE(store.otherVersionsOfItem(url(document)));
    std::string error;
    EXPECT_FALSE(store.addVersionOfItem(url(document), url(document), &error));
    EXPECT_FALSE(error.empty());
}

// Whatever the index holds, nothing outside the store is read or written
// through it, and no link inside the store is followed.
TEST_F(VersionStore, IndexValuesAndLinksNeverLeadOutOfTheStore)
{
    const std::string location = FileVersionStore::defaultLocation();
    const std::string outside = makeScratchFolder("outside");
    writeFile(document, "now");
    const auto stored = add(document, unpackable("one"));
    ASSERT_TRUE(stored);
    const std::string storedPath = stored->URL().path();
    const auto execute = [&](const std::string& sql) { alterIndex(location, sql); };

    // A stored folder swapped for a link to a copy elsewhere: not local.
    const std::string documentFolder = storedPath.substr(0, storedPath.rfind('/'));
    std::filesystem::copy(documentFolder, outside + "/copy");
    std::filesystem::rename(documentFolder, outside + "/moved");
    std::filesystem::create_directory_symlink(outside + "/copy", documentFolder);
    auto listedVersions = FileVersionStore().otherVersionsOfItem(url(document));
    ASSERT_TRUE(listedVersions);
    ASSERT_EQ(listedVersions->size(), 1u);
    EXPECT_FALSE((*listedVersions)[0].hasLocalContents());
    std::filesystem::remove(documentFolder);
    std::filesystem::rename(outside + "/moved", documentFolder);

    // A file name that climbs out of the store makes the list unreadable.
    writeFile(outside + "/secret", "one");
    execute("UPDATE versions SET file = '" + std::filesystem::relative(outside + "/secret", documentFolder).string()
            + "'");
    EXPECT_FALSE(FileVersionStore().otherVersionsOfItem(url(document)));

    // A document id that climbs out: adding fails and writes nothing there.
    execute("UPDATE documents SET uuid = '" + std::filesystem::relative(outside, location + "/documents").string()
            + "'");
    std::string error;
    EXPECT_FALSE(FileVersionStore().saveVersionOfItem(url(document), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 2);
}

// A document rewritten while it is copied is copied again, or the add fails;
// a copy mixing old and new bytes is never listed.
// The document is rewritten in the middle of the copy, at the first step of
// as many attempts as the row says: the add takes the state it finally
// copies whole, or fails naming the change, and never lists a mix.
TEST_F(VersionStore, ADocumentRewrittenDuringAnAddIsNeverStoredMixed)
{
    const std::size_t size = 32 << 20;
    const struct {
        int rewrites;
        bool saved;
    } rows[] = {{0, true}, {1, true}, {3, true}, {4, false}, {1000, false}};
    char first = 'a';
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rewrites);
        // Each row saves contents of its own, so no save is taken as unchanged.
        const char second = static_cast<char>(first + 1);
        char fill = first;
        writeFile(document, std::string(size, fill));
        const std::size_t before = listed(document).size();
        int rewritten = 0;
        store::setCopyStepHookForTests([&](std::uint64_t reached) {
            if (reached >= size || rewritten == row.rewrites)
                return;
            ++rewritten;
            fill = fill == first ? second : first;
            writeFile(document, std::string(size, fill));
        });
        std::string error;
        const bool saved = FileVersionStore().saveVersionOfItem(url(document), &error).has_value();
        store::setCopyStepHookForTests({});
        EXPECT_EQ(saved, row.saved) << error;
        const Contents contents = listed(document);
        if (row.saved) {
            ASSERT_EQ(contents.size(), before + 1);
            EXPECT_TRUE(contents.back() == std::string(size, fill)) << "the stored copy is not the final state";
        } else {
            EXPECT_EQ(error,
                      "cannot copy " + document + " into the version store: it kept changing while it was copied");
            EXPECT_EQ(contents.size(), before);
        }
        first = static_cast<char>(first + 2);
    }
}

} // namespace
} // namespace strataloom
