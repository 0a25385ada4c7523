#include "StoreMaintenance.h"
#include "Sqlite.h"
#include "support/ArchiveTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;

struct Recorder : StoreMaintenanceListener {
    void found(const StoreFinding& finding) override { findings.insert(finding.path); }
    void failed(const std::string&) override { ++failures; }
    std::set<std::string> findings;
    int failures = 0;
};

class StoreMaintenanceTest : public testing::Test {
protected:
    std::string location = test::makeScratchFolder("store") + "/strataloom";
    FileVersionStore store{location};
    std::string documents = test::makeScratchFolder("documents");
    FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {"v0"}, "now");
    std::string stored = test::storedPath(store, notes, 0);

    Recorder prune(std::chrono::seconds grace = std::chrono::seconds(0))
    {
        StoreMaintenance maintenance(location);
        maintenance.setGracePeriod(grace);
        Recorder recorder;
        maintenance.prune(false, recorder);
        return recorder;
    }
};

TEST_F(StoreMaintenanceTest, PruneKeepsTheVersionsOfADocumentThatExists)
{
    // Saved by writing a new file over it: another inode at the same path.
    test::writeFile(documents + "/new", "saved again");
    fs::rename(documents + "/new", notes.path());
    // Renamed in its folder without the store being told: it keeps its identity.
    const FileUrl renamed = test::documentWithVersions(store, documents, "renamed.txt", {"n0"}, "n");
    const std::string renamedStored = test::storedPath(store, renamed, 0);
    fs::rename(renamed.path(), documents + "/renamed later.txt");
    // On a disk that is not mounted now: its folder is gone too.
    const std::string removable = test::makeScratchFolder("media");
    const FileUrl away = test::documentWithVersions(store, removable, "away.txt", {"a0"}, "a");
    const std::string awayStored = test::storedPath(store, away, 0);
    fs::rename(removable, removable + "-unmounted");

    const Recorder recorder = prune();
    EXPECT_EQ(recorder.findings, std::set<std::string>{});
    EXPECT_EQ(recorder.failures, 0);
    EXPECT_EQ(test::readFile(stored) + test::readFile(renamedStored) + test::readFile(awayStored), "v0n0a0");
}

// An add holds a lock on the file it writes until its record is committed; its
// temporary file and new folder may be a moment old.
TEST_F(StoreMaintenanceTest, AnAddInProgressIsLeftAloneUntilItsLockIsReleased)
{
    fs::create_directory(location + "/tmp"); // kept by stores of release 1.0.0
    const std::string leftover = location + "/tmp/11111111111111111111111111111111.part";
    test::writeFile(leftover, "an add that has just begun");
    const std::string emptyFolder = location + "/documents/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee";
    fs::create_directory(emptyFolder);
    const std::string inFlight = fs::path(stored).parent_path().native() + "/22222222222222222222222222222222";
    test::writeFile(inFlight, "being added");
    const int writer = open(inFlight.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(writer, LOCK_EX), 0);

    EXPECT_EQ(prune(StoreMaintenance::kDefaultGracePeriod).findings, std::set<std::string>{});
    EXPECT_EQ(prune().findings, (std::set<std::string>{leftover, emptyFolder}));
    close(writer);
    EXPECT_EQ(prune().findings, std::set<std::string>{inFlight});
    EXPECT_EQ(test::readFile(stored), "v0");
}

TEST_F(StoreMaintenanceTest, WithoutATrustworthyIndexNothingIsRemoved)
{
    const std::string outside = documents + "/precious";
    test::writeFile(outside, "not the store's");
    {
        // A record whose file name leads out of the store.
        SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE);
        const std::string escape = fs::relative(outside, fs::path(stored).parent_path()).native();
        ASSERT_TRUE(database.execute(("UPDATE versions SET file = '" + escape + "'").c_str()));
    }
    fs::remove(notes.path());
    Recorder recorder = prune();
    EXPECT_EQ(recorder.findings, std::set<std::string>{});
    EXPECT_GT(recorder.failures, 0);
    EXPECT_EQ(test::readFile(outside), "not the store's");

    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(location + "/index.sqlite" + suffix);
    recorder = prune();
    EXPECT_EQ(recorder.findings, std::set<std::string>{});
    EXPECT_EQ(recorder.failures, 1);
    EXPECT_EQ(test::readFile(stored), "v0");
}

} // namespace
} // namespace strataloom
