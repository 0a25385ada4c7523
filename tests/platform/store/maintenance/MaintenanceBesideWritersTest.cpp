#include "AutomaticSaves.h"
#include "FileVersionStore.h"
#include "IndexRebuild.h"
#include "Sqlite.h"
#include "StoreLock.h"
#include "StoreMaintenance.h"
#include "VersionEdits.h"
#include "VersionRemoval.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

using Recorder = CheckFindings;

class MaintenanceBesideWriters : public testing::Test {
protected:
    // Saves `contents` into the document as the watcher does, in a batch of its own.
    void save(AutomaticSaves& saves, const std::string& contents)
    {
        writeFile(notes, contents);
        std::string error;
        ASSERT_EQ(saves.stage(notes, &error), AutomaticSaves::Outcome::Staged) << error;
        ASSERT_TRUE(saves.commit(nullptr, &error)) << error;
    }

    std::vector<std::string> listed() { return contentsOf(location, notes); }

    std::vector<std::string> storedFiles()
    {
        const auto versions = FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(notes));
        std::vector<std::string> files;
        for (const FileVersion& version : versions.value())
            files.push_back(version.URL().path());
        return files;
    }

    Recorder repair(std::chrono::milliseconds wait = std::chrono::seconds(30))
    {
        StoreMaintenance maintenance(location);
        maintenance.setLockWait(wait);
        Recorder recorder;
        maintenance.repair(recorder);
        return recorder;
    }

    std::set<std::string> setAside()
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(location))
            if (const std::string name = entry.path().filename().native(); name.find(".damaged-") != std::string::npos
                                                                           && name.find("-wal") == std::string::npos
                                                                           && name.find("-shm") == std::string::npos)
                names.insert(name);
        return names;
    }

    std::string location = FileVersionStore::defaultLocation();
    std::string notes = makeScratchFolder("documents") + "/notes.txt";
};

// Prune judged by the index alone and deleted what only a log recorded; a
// second repair, finding the index sound, brought nothing back.
TEST_F(MaintenanceBesideWriters, WhatALogRecordsSurvivesPruneAndRepairListsItAgain)
{
    const struct {
        const char* lost;
        const char* sql;
    } cases[] = {
        {"the newest two versions", "DELETE FROM versions WHERE position >= 1"},
        {"the whole document", "DELETE FROM versions; DELETE FROM documents"},
    };
    for (const auto& lost : cases) {
        SCOPED_TRACE(lost.lost);
        fs::remove_all(location);
        // Stored files, which the log names.
        saveAutomatic(location, notes, {unpackable("v0"), unpackable("v1"), unpackable("v2")});
        writeFile(notes, "now");
        const std::vector<std::string> files = storedFiles();
        ASSERT_EQ(files.size(), 3u);
        const std::string log = fs::path(files[0]).parent_path().string() + ".log";
        alterIndex(location, lost.sql);

        const CheckFindings pruned = pruneStore(location);
        EXPECT_EQ(pruned.paths, std::set<std::string>{});
        EXPECT_EQ(pruned.failures, "");
        EXPECT_NE(pruned.notes.find(files[2] + " is kept"), std::string::npos) << pruned.notes;
        for (const std::string& file : files)
            EXPECT_TRUE(fs::exists(file)) << file;
        EXPECT_TRUE(fs::exists(log));

        const Recorder checked = checkStore(location);
        EXPECT_EQ(checked.paths.count(files[1]) + checked.paths.count(files[2]), 2u);

        const Recorder repaired = repair();
        EXPECT_EQ(repaired.failures, "");
        EXPECT_NE(repaired.notes.find("rebuilt the version index"), std::string::npos) << repaired.notes;
        EXPECT_EQ(repaired.paths, std::set<std::string>{});
        EXPECT_EQ(listed(), (std::vector<std::string>{unpackable("v0"), unpackable("v1"), unpackable("v2")}));
    }
}

// The versions only the log records are the document's too: forget lists
// and removes them with the rest, and leaves nothing behind.
TEST_F(MaintenanceBesideWriters, ForgetTakesTheVersionsOnlyTheLogRecords)
{
    // Stored files, which the log names.
    saveAutomatic(location, notes, {unpackable("v0"), unpackable("v1"), unpackable("v2")});
    writeFile(notes, "now");
    const std::vector<std::string> files = storedFiles();
    alterIndex(location, "DELETE FROM versions WHERE position >= 1");
    for (const bool dryRun : {true, false}) {
        Recorder forgotten;
        StoreMaintenance(location).forget(DocumentChoice{notes}, dryRun, forgotten);
        EXPECT_EQ(forgotten.failures, "");
        EXPECT_EQ(forgotten.paths, std::set<std::string>(files.begin(), files.end())) << dryRun;
    }
    EXPECT_FALSE(fs::exists(fs::path(files[0]).parent_path()));
}

TEST_F(MaintenanceBesideWriters, RepairRefusesWhileTheWatcherRunsAndSaysHowToStopIt)
{
    saveAutomatic(location, notes, {"v0", "v1"});
    writeFile(notes, "now");
    alterIndex(location, "DELETE FROM versions WHERE position = 1");
    const int watcher = open((location + "/watcher.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(watcher, LOCK_EX), 0);

    Recorder refused = repair();
    EXPECT_NE(refused.failures.find("systemctl --user stop strataloom-watch.service"), std::string::npos)
        << refused.failures;
    EXPECT_EQ(setAside(), std::set<std::string>{});
    EXPECT_EQ(listed(), std::vector<std::string>{"v0"});

    close(watcher);
    EXPECT_EQ(repair().failures, "");
    EXPECT_EQ(setAside().size(), 1u);
    EXPECT_EQ(listed(), (std::vector<std::string>{"v0", "v1"}));
}

// An add holds the store shared from its start until its versions are
// committed: a repair waits for it, a bounded time, and never swaps the index
// under it.
TEST_F(MaintenanceBesideWriters, RepairWaitsForAnAddUnderWayAndKeepsItsVersion)
{
    AutomaticSaves saves(location);
    save(saves, "v0");
    save(saves, "v1");
    alterIndex(location, "DELETE FROM versions WHERE position = 1");
    writeFile(notes, "v2");
    std::string error;
    ASSERT_EQ(saves.stage(notes, &error), AutomaticSaves::Outcome::Staged) << error;

    const Recorder refused = repair(std::chrono::milliseconds(50));
    EXPECT_NE(refused.failures.find("another program is writing"), std::string::npos) << refused.failures;
    EXPECT_EQ(setAside(), std::set<std::string>{});

    auto repaired = std::async(std::launch::async, [&] { return repair(); });
    ASSERT_TRUE(saves.commit(nullptr, &error)) << error;
    EXPECT_EQ(repaired.get().failures, "");
    writeFile(notes, "now");
    EXPECT_EQ(listed(), (std::vector<std::string>{"v0", "v1", "v2"}));
    save(saves, "v3");
    writeFile(notes, "now");
    EXPECT_EQ(listed(), (std::vector<std::string>{"v0", "v1", "v2", "v3"}));
}

// A removal holds the store as an add does: a repair waits for it rather than
// swapping in an index rebuilt from logs read before the removal was logged,
// which would bring the version back.
TEST_F(MaintenanceBesideWriters, RepairWaitsForARemovalUnderWay)
{
    AutomaticSaves saves(location);
    for (const char* contents : {"v0", "v1", "v2"})
        save(saves, contents);
    writeFile(notes, "now");
    Recorder refused;
    store::setRemovalPauseForTests([&] { refused = repair(std::chrono::milliseconds(50)); });
    std::string error;
    const bool removed = deleteVersions(location, notes, {1}, false, &error).has_value();
    store::setRemovalPauseForTests({});
    ASSERT_TRUE(removed) << error;
    EXPECT_NE(refused.failures.find("another program is writing"), std::string::npos) << refused.failures;
    EXPECT_EQ(listed(), (std::vector<std::string>{"v0", "v2"}));
}

// Rebuilds one after another beside a process saving versions all the while
// (as save-version does): every save it reported is listed, in order,
// whatever index it began with.
TEST_F(MaintenanceBesideWriters, RebuildsBesideAWriterLoseNothingItReportedSaved)
{
    constexpr int kSaves = 30;
    saveAutomatic(location, notes, {"version 0"});
    // The writer tells of each save, and a rebuild follows it while the
    // next one is under way.
    int saved[2];
    ASSERT_EQ(pipe(saved), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        close(saved[0]);
        FileVersionStore store(location);
        for (int v = 1; v < kSaves; ++v) {
            writeFile(notes, "version " + std::to_string(v));
            if (!store.saveVersionOfItem(FileUrl::fromPath(notes)) || write(saved[1], "s", 1) != 1)
                _exit(1);
        }
        _exit(0);
    }
    close(saved[1]);
    int rebuilds = 0;
    const store::StoreLayout layout(location);
    for (char byte; read(saved[0], &byte, 1) == 1; ++rebuilds) {
        const auto lock =
            store::StoreLock::acquire(layout, store::StoreLock::Mode::Exclusive, std::chrono::seconds(30));
        ASSERT_TRUE(lock);
        store::RebuildResult result;
        ASSERT_TRUE(store::rebuildIndex(layout, result, [](const std::string&) {}));
    }
    close(saved[0]);
    int status = 0;
    waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save failed";
    EXPECT_EQ(rebuilds, kSaves - 1);
    writeFile(notes, "now");
    std::vector<std::string> expected;
    for (int v = 0; v < kSaves; ++v)
        expected.push_back("version " + std::to_string(v));
    EXPECT_EQ(listed(), expected);
    EXPECT_EQ(checkStore(location).paths, std::set<std::string>{});
}

// An add begun and not yet staging (the window's, between two steps of an
// unarchive) holds nothing; a repair meanwhile leaves it adding to the
// document it began, found again in the new index.
TEST_F(MaintenanceBesideWriters, ARepairBetweenBeginningAndStagingKeepsTheAddWhole)
{
    FileVersionStore window(location);
    const std::string folder = fs::path(notes).parent_path();
    const std::string contents = makeScratchFolder("contents") + "/contents";
    const auto add = [&](const std::string& document, bool newDocument, const std::string& version) {
        const FileUrl url = FileUrl::fromPath(document);
        ASSERT_TRUE(newDocument ? window.beginVersionsOfNewItem(url) : window.beginVersionsOfItem(url));
        // The logs record a version the index lacks: the repair rebuilds it.
        alterIndex(location, "DELETE FROM versions WHERE position = (SELECT MAX(position) FROM versions)");
        const Recorder repaired = repair(std::chrono::milliseconds(50));
        EXPECT_EQ(repaired.failures, "");
        EXPECT_NE(repaired.notes.find("rebuilt"), std::string::npos) << repaired.notes;
        writeFile(contents, version);
        std::string error;
        ASSERT_TRUE(window.stageVersion(FileUrl::fromPath(contents), &error)) << error;
        ASSERT_TRUE(window.commitVersions(&error)) << error;
    };
    writeFile(notes, "now");
    ASSERT_TRUE(window.saveVersionOfItem(FileUrl::fromPath(notes)));
    add(notes, false, "second");
    const std::string unarchived = folder + "/unarchived.txt";
    writeFile(unarchived, "made by unarchive");
    add(unarchived, true, "its first");
    EXPECT_EQ(listed(), (std::vector<std::string>{"now", "second"}));
    const auto other = FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(unarchived));
    ASSERT_TRUE(other);
    ASSERT_EQ(other->size(), 1u);
    EXPECT_EQ(contentsOf(other->front()), "its first");
}

// The watcher's connection went on writing into the index a repair had set
// aside: versions logged as saved were never listed.
TEST_F(MaintenanceBesideWriters, AWriterNoticesTheIndexWasReplacedBeforeItsNextTransaction)
{
    AutomaticSaves saves(location);
    save(saves, "v0");
    const auto replaceIndex = [&] {
        store::RebuildResult result;
        ASSERT_TRUE(store::rebuildIndex(store::StoreLayout(location), result, [](const std::string&) {}));
    };

    replaceIndex();
    save(saves, "v1");
    writeFile(notes, "now");
    EXPECT_EQ(listed(), (std::vector<std::string>{"v0", "v1"}));

    // Replaced with a batch under way (past the store lock, as by an older
    // release): the batch fails whole and says why, and the next one succeeds.
    writeFile(notes, "v2");
    std::string error;
    ASSERT_EQ(saves.stage(notes, &error), AutomaticSaves::Outcome::Staged) << error;
    replaceIndex();
    EXPECT_FALSE(saves.commit(nullptr, &error));
    EXPECT_NE(error.find("replaced"), std::string::npos) << error;
    save(saves, "v3");
    writeFile(notes, "now");
    EXPECT_EQ(listed(), (std::vector<std::string>{"v0", "v1", "v3"}));
    EXPECT_EQ(checkStore(location).paths, std::set<std::string>{});
}

// A check beside a removal sees either the version or nothing of it: the
// removal takes the index row out first, then the file.
TEST_F(MaintenanceBesideWriters, ACheckBesideARemovalReportsNoProblem)
{
    saveAutomatic(location, notes, {"v0", "v1", "v2", "v3"});
    writeFile(notes, "now");
    const auto remove = [&](std::size_t index) {
        std::string error;
        ASSERT_TRUE(deleteVersions(location, notes, {index}, false, &error)) << error;
    };

    // The check has read the index; the removal then runs whole.
    StoreMaintenance maintenance(location);
    Recorder checked;
    checked.onFirstVersion = [&] { remove(3); };
    maintenance.check(checked);
    EXPECT_EQ(checked.paths, std::set<std::string>{});
    EXPECT_EQ(checked.failures, "");

    // The removal has taken the row out and not yet the file.
    Recorder during;
    store::setRemovalPauseForTests([&] { maintenance.check(during); });
    remove(1);
    store::setRemovalPauseForTests({});
    EXPECT_EQ(during.paths, std::set<std::string>{});
    EXPECT_EQ(during.failures, "");
    EXPECT_EQ(listed(), (std::vector<std::string>{"v0", "v2"}));
}

// A check beside a save that re-encodes the record the older versions are
// deltas against, and unlinks its file, after the check read the index:
// nothing is reported, and every version reads from the re-encoding.
TEST_F(MaintenanceBesideWriters, ACheckBesideASaveThatReEncodesReportsNoProblem)
{
    AutomaticSaves saves(location);
    const std::string text = unpackable("notes");
    save(saves, text + "v0");
    save(saves, text + "v1");
    StoreMaintenance maintenance(location);
    Recorder checked;
    checked.onFirstVersion = [&] { save(saves, text + "v2"); };
    maintenance.check(checked);
    EXPECT_EQ(checked.paths, std::set<std::string>{});
    EXPECT_EQ(checked.failures, "");
    writeFile(notes, "now");
    expectVersionsRead(location, notes, {text + "v0", text + "v1", text + "v2"});
}

} // namespace
} // namespace strataloom
