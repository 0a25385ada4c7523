#include "archive/ArchiveTestSupport.h"
#include "platform/Sqlite.h"
#include "platform/StoreMaintenance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using Kind = StoreFinding::Kind;

struct Recorder : StoreMaintenanceListener {
    void found(const StoreFinding& finding) override
    {
        findings.insert({finding.kind, finding.path, finding.document.value_or("-"), finding.index});
    }
    void failed(const std::string& message) override { failures.push_back(message); }
    std::set<std::tuple<Kind, std::string, std::string, std::size_t>> findings;
    std::vector<std::string> failures;
};

// Every item under `root` with its size and modification time: what a read-only
// pass must leave exactly as it was.
std::map<std::string, std::pair<std::uintmax_t, std::int64_t>> treeOf(const std::string& root)
{
    std::map<std::string, std::pair<std::uintmax_t, std::int64_t>> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat status {};
        lstat(entry.path().c_str(), &status);
        tree[entry.path().native()] = {static_cast<std::uintmax_t>(status.st_size),
                                       status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec};
    }
    return tree;
}

class StoreMaintenanceTest : public testing::Test {
protected:
    std::string location = test::makeScratchFolder("store") + "/strataloom";
    FileVersionStore store{location};
    std::string documents = test::makeScratchFolder("documents");

    StoreMaintenance maintenance(std::chrono::seconds grace = std::chrono::seconds(0))
    {
        StoreMaintenance result(location);
        result.setGracePeriod(grace);
        return result;
    }

    std::vector<std::string> contentsOfVersions(const FileUrl& document)
    {
        std::vector<std::string> contents;
        FileVersionStore fresh(location);
        const std::vector<FileVersion> versions = fresh.otherVersionsOfItem(document).value();
        for (const FileVersion& version : versions) {
            EXPECT_TRUE(version.hasLocalContents()) << version.URL().path();
            contents.push_back(test::readFile(version.URL().path()));
        }
        return contents;
    }

    std::string folderOf(const FileUrl& document)
    {
        return fs::path(test::storedPath(store, document, 0)).parent_path().native();
    }
};

TEST_F(StoreMaintenanceTest, CheckReportsEveryDamagedVersionAndStrayFileAndChangesNothing)
{
    const FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {"v0", "v1", "v2", "v3"}, "now");
    const FileUrl sound = test::documentWithVersions(store, documents, "sound.txt", {"a", "b"}, "c");
    const std::string missing = test::storedPath(store, notes, 1);
    const std::string altered = test::storedPath(store, notes, 2);
    const std::string shortened = test::storedPath(store, notes, 3);
    fs::remove(missing);
    test::corrupt(altered);
    test::writeFile(shortened, "v");
    const std::string orphan = folderOf(notes) + "/0123456789abcdef0123456789abcdef";
    test::writeFile(orphan, "left by a crash");
    const std::string strayFolder = location + "/documents/ffffffffffffffffffffffffffffffff";
    fs::create_directory(strayFolder);
    test::writeFile(strayFolder + "/x", "x");
    const std::string leftover = location + "/tmp/00000000000000000000000000000000.part";
    test::writeFile(leftover, "half a copy");
    const auto before = treeOf(location);

    Recorder recorder;
    const MaintenanceSummary summary = maintenance().check(recorder);

    EXPECT_TRUE(recorder.failures.empty());
    using Row = std::tuple<Kind, std::string, std::string, std::size_t>;
    EXPECT_EQ(recorder.findings, (std::set<Row>{
                                     {Kind::Missing, missing, notes.path(), 1},
                                     {Kind::Corrupted, altered, notes.path(), 2},
                                     {Kind::Corrupted, shortened, notes.path(), 3},
                                     {Kind::Unreferenced, orphan, "-", 0},
                                     {Kind::Unreferenced, strayFolder + "/x", "-", 0},
                                     {Kind::Unreferenced, strayFolder, "-", 0},
                                     {Kind::Leftover, leftover, "-", 0},
                                 }));
    EXPECT_EQ(summary.documents, 2u);
    EXPECT_EQ(summary.versions, 6u);
    EXPECT_EQ(treeOf(location), before);
    EXPECT_EQ(contentsOfVersions(sound), (std::vector<std::string>{"a", "b"}));
}

TEST_F(StoreMaintenanceTest, AStoreThatDoesNotExistIsNotCreated)
{
    const std::string nowhere = test::makeScratchFolder("empty") + "/strataloom";
    StoreMaintenance absent(nowhere);
    Recorder quiet;
    EXPECT_EQ(absent.check(quiet).findings, 0u);
    EXPECT_EQ(absent.prune(false, quiet).findings, 0u);
    EXPECT_TRUE(quiet.failures.empty());
    EXPECT_FALSE(fs::exists(nowhere));
}

TEST_F(StoreMaintenanceTest, RecentLeftoversAndLockedFilesAreLeftAlone)
{
    const FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {"v0"}, "now");
    const std::string leftover = location + "/tmp/11111111111111111111111111111111.part";
    test::writeFile(leftover, "an add that has just begun");
    const std::string emptyFolder = location + "/documents/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee";
    fs::create_directory(emptyFolder);
    // A stored file whose writer has not yet recorded it holds the writer's lock.
    const std::string inFlight = folderOf(notes) + "/22222222222222222222222222222222";
    test::writeFile(inFlight, "being added");
    const int writer = open(inFlight.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(writer, LOCK_EX), 0);

    Recorder recorder;
    const MaintenanceSummary summary = maintenance(StoreMaintenance::kDefaultGracePeriod).prune(false, recorder);
    EXPECT_EQ(summary.findings, 0u);
    EXPECT_TRUE(recorder.failures.empty());
    EXPECT_TRUE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(emptyFolder));
    EXPECT_TRUE(fs::exists(inFlight));

    close(writer);
    Recorder later;
    maintenance().prune(false, later);
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_FALSE(fs::exists(emptyFolder));
    EXPECT_FALSE(fs::exists(inFlight));
    EXPECT_EQ(later.findings.size(), 3u);
}

TEST_F(StoreMaintenanceTest, DryRunReportsWhatPruneRemovesAndRemovesNothing)
{
    const FileUrl kept = test::documentWithVersions(store, documents, "kept.txt", {"k0", "k1"}, "k");
    const FileUrl gone = test::documentWithVersions(store, documents, "gone.txt", {"g0", "g1", "g2"}, "g");
    const std::string goneFolder = folderOf(gone);
    const std::vector<std::string> goneFiles = {test::storedPath(store, gone, 0), test::storedPath(store, gone, 1),
                                                test::storedPath(store, gone, 2)};
    fs::remove(gone.path());
    const std::string orphan = folderOf(kept) + "/33333333333333333333333333333333";
    test::writeFile(orphan, "orphan");
    const auto before = treeOf(location);

    Recorder dryRun;
    maintenance().prune(true, dryRun);
    EXPECT_EQ(treeOf(location), before);
    using Row = std::tuple<Kind, std::string, std::string, std::size_t>;
    const std::set<Row> expected = {
        {Kind::GoneVersion, goneFiles[0], gone.path(), 0},
        {Kind::GoneVersion, goneFiles[1], gone.path(), 1},
        {Kind::GoneVersion, goneFiles[2], gone.path(), 2},
        {Kind::Unreferenced, orphan, "-", 0},
    };
    EXPECT_EQ(dryRun.findings, expected);

    Recorder pruned;
    maintenance().prune(false, pruned);
    EXPECT_TRUE(pruned.failures.empty());
    EXPECT_EQ(pruned.findings, expected);
    EXPECT_FALSE(fs::exists(goneFolder));
    EXPECT_FALSE(fs::exists(orphan));
    EXPECT_TRUE(FileVersionStore(location).otherVersionsOfItem(gone).value().empty());
    EXPECT_EQ(contentsOfVersions(kept), (std::vector<std::string>{"k0", "k1"}));

    Recorder afterwards;
    EXPECT_EQ(maintenance().check(afterwards).findings, 0u);
    EXPECT_EQ(maintenance().prune(false, afterwards).findings, 0u);
}

TEST_F(StoreMaintenanceTest, AStoppedPruneLeavesASoundStoreForTheNextOne)
{
    const FileUrl kept = test::documentWithVersions(store, documents, "kept.txt", {"k0"}, "k");
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        const FileUrl gone = test::documentWithVersions(store, documents, name, {"x", "y"}, "z");
        fs::remove(gone.path());
    }
    struct Stopping : Recorder {
        bool shouldStop() const override { return !findings.empty(); }
    } stopping;
    const MaintenanceSummary stopped = maintenance().prune(false, stopping);
    EXPECT_TRUE(stopped.interrupted);
    EXPECT_EQ(stopping.findings.size(), 2u);  // the two versions of the first document

    Recorder checked;
    EXPECT_EQ(maintenance().check(checked).findings, 0u);
    Recorder rest;
    EXPECT_EQ(maintenance().prune(false, rest).findings, 4u);
    EXPECT_EQ(contentsOfVersions(kept), (std::vector<std::string>{"k0"}));
}

TEST_F(StoreMaintenanceTest, PruneKeepsEveryVersionOfADocumentThatExists)
{
    // Still where it was.
    const FileUrl plain = test::documentWithVersions(store, documents, "plain.txt", {"p0", "p1"}, "p");
    // Saved by writing a new file over it: another inode at the same path.
    const FileUrl replaced = test::documentWithVersions(store, documents, "replaced.txt", {"r0"}, "r");
    test::writeFile(documents + "/new", "r, saved again");
    fs::rename(documents + "/new", replaced.path());
    // Renamed in its folder without the store being told: it keeps its identity.
    const FileUrl renamed = test::documentWithVersions(store, documents, "renamed.txt", {"n0", "n1"}, "n");
    fs::rename(renamed.path(), documents + "/renamed later.txt");
    // On a disk that is not mounted now: its folder is gone too.
    const std::string removable = test::makeScratchFolder("media");
    const FileUrl away = test::documentWithVersions(store, removable, "away.txt", {"a0"}, "a");
    fs::rename(removable, removable + "-unmounted");

    Recorder recorder;
    maintenance().prune(false, recorder);
    EXPECT_TRUE(recorder.findings.empty());
    EXPECT_TRUE(recorder.failures.empty());
    EXPECT_EQ(contentsOfVersions(plain), (std::vector<std::string>{"p0", "p1"}));
    EXPECT_EQ(contentsOfVersions(replaced), (std::vector<std::string>{"r0"}));
    EXPECT_EQ(contentsOfVersions(FileUrl::fromPath(documents + "/renamed later.txt")),
              (std::vector<std::string>{"n0", "n1"}));
    fs::rename(removable + "-unmounted", removable);
    EXPECT_EQ(contentsOfVersions(away), (std::vector<std::string>{"a0"}));
}

TEST_F(StoreMaintenanceTest, WithoutItsIndexNothingIsJudgedOrRemoved)
{
    test::documentWithVersions(store, documents, "notes.txt", {"v0", "v1"}, "now");
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(location + "/index.sqlite" + suffix);
    const auto before = treeOf(location);

    Recorder checked;
    maintenance().check(checked);
    Recorder pruned;
    maintenance().prune(false, pruned);
    EXPECT_TRUE(checked.findings.empty());
    EXPECT_TRUE(pruned.findings.empty());
    EXPECT_EQ(checked.failures.size(), 1u);
    EXPECT_EQ(pruned.failures.size(), 1u);
    EXPECT_EQ(treeOf(location), before);
}

TEST_F(StoreMaintenanceTest, AnIndexRecordThatWouldLeadOutsideTheStoreStopsThePrune)
{
    const FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {"v0"}, "now");
    const std::string outside = documents + "/precious";
    test::writeFile(outside, "not the store's");
    {
        const std::string escape = fs::relative(outside, folderOf(notes)).native();
        SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE);
        ASSERT_TRUE(database.execute(("UPDATE versions SET file = '" + escape + "'").c_str()));
    }
    fs::remove(notes.path());
    Recorder recorder;
    maintenance().prune(false, recorder);
    EXPECT_FALSE(recorder.failures.empty());
    EXPECT_TRUE(recorder.findings.empty());
    EXPECT_EQ(test::readFile(outside), "not the store's");
}

// An add runs in another process while prune runs again and again: every
// version it adds must still be there, whole, at the end.
TEST_F(StoreMaintenanceTest, PruneNeverUndoesAConcurrentAdd)
{
    constexpr int kVersions = 150;
    const FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {"first"}, "now");
    const std::string staging = test::makeScratchFolder("concurrent");
    for (int i = 0; i < kVersions; ++i)
        test::writeFile(staging + "/" + std::to_string(i), "version " + std::to_string(i));

    const pid_t adder = fork();
    if (adder == 0) {
        FileVersionStore own(location);
        for (int i = 0; i < kVersions; ++i)
            if (!own.addVersionOfItem(notes, FileUrl::fromPath(staging + "/" + std::to_string(i))))
                _exit(1);
        _exit(0);
    }
    ASSERT_GT(adder, 0);
    int status = 0;
    std::size_t removed = 0;
    while (waitpid(adder, &status, WNOHANG) == 0) {
        Recorder recorder;
        removed += maintenance(StoreMaintenance::kDefaultGracePeriod).prune(false, recorder).findings;
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(removed, 0u);

    std::vector<std::string> expected = {"first"};
    for (int i = 0; i < kVersions; ++i)
        expected.push_back("version " + std::to_string(i));
    EXPECT_EQ(contentsOfVersions(notes), expected);
    Recorder recorder;
    EXPECT_EQ(maintenance().check(recorder).findings, 0u);
}

} // namespace
} // namespace strataloom
