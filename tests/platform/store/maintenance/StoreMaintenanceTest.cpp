#include "StoreMaintenance.h"
#include "Sqlite.h"
#include "support/ArchiveTestSupport.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;

using Recorder = test::CheckFindings;

// Document, index and stored file of each version a pass forgot.
std::vector<std::string> forgottenVersions(const Recorder& recorder)
{
    std::vector<std::string> versions;
    for (const StoreFinding& finding : recorder.findings)
        if (finding.kind == StoreFinding::Kind::ForgottenVersion)
            versions.push_back(finding.document.value_or("-") + " " + std::to_string(finding.index) + " "
                               + finding.path);
    return versions;
}

std::vector<std::string> storedFiles(FileVersionStore& store, const std::string& document)
{
    const auto versions = store.otherVersionsOfItem(FileUrl::fromPath(document));
    if (!versions)
        throw std::runtime_error("cannot list the versions of " + document);
    std::vector<std::string> files;
    for (const FileVersion& version : *versions)
        files.push_back(version.URL().path());
    return files;
}

std::map<std::string, std::string> contentsUnder(const std::string& root)
{
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        contents[entry.path().native()] = entry.is_regular_file() ? test::readFile(entry.path()) : "(folder)";
    return contents;
}

class StoreMaintenanceTest : public testing::Test {
protected:
    std::string location = test::makeScratchFolder("store") + "/strataloom";
    FileVersionStore store{location};
    std::string documents = test::makeScratchFolder("documents");
    // Its contents stay a file of their own, as the tests of stored files need.
    FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {test::unpackable("v0")}, "now");
    std::string stored = test::storedPath(store, notes, 0);

    Recorder prune(std::chrono::seconds grace = std::chrono::seconds(0))
    {
        StoreMaintenance maintenance(location);
        maintenance.setGracePeriod(grace);
        Recorder recorder;
        maintenance.prune(false, recorder);
        return recorder;
    }

    Recorder forget(const DocumentChoice& choice, bool dryRun)
    {
        Recorder recorder;
        StoreMaintenance(location).forget(choice, dryRun, recorder);
        return recorder;
    }
};

// Nothing short of searching every disk proves a document gone: prune keeps
// the versions of one saved over, renamed, on a disk not mounted now, moved
// to another folder or deleted.
TEST_F(StoreMaintenanceTest, PruneKeepsTheVersionsOfEveryDocumentWhereverItWent)
{
    // Saved by writing a new file over it: another inode at the same path.
    test::writeFile(documents + "/new", "saved again");
    fs::rename(documents + "/new", notes.path());
    std::map<std::string, std::string> kept{{stored, test::unpackable("v0")}};
    const auto make = [&](const std::string& folder, const std::string& name) {
        const FileUrl document = test::documentWithVersions(store, folder, name, {test::unpackable(name)}, "now");
        kept[test::storedPath(store, document, 0)] = test::unpackable(name);
        return document;
    };
    // Renamed in its folder without the store being told: it keeps its identity.
    fs::rename(make(documents, "renamed.txt").path(), documents + "/renamed later.txt");
    // On a disk that is not mounted now: its folder is gone too.
    const std::string removable = test::makeScratchFolder("media");
    make(removable, "away.txt");
    fs::rename(removable, removable + "-unmounted");
    const std::string moved = test::makeScratchFolder("other") + "/moved.txt";
    fs::rename(make(documents, "moved.txt").path(), moved);
    fs::remove(make(documents, "deleted.txt").path());

    const Recorder recorder = prune();
    EXPECT_EQ(recorder.paths, std::set<std::string>{});
    EXPECT_EQ(recorder.failures, "");
    for (const auto& [file, contents] : kept)
        EXPECT_EQ(test::readFile(file), contents) << file;
    FileVersionStore reopened(location);
    EXPECT_EQ(storedFiles(reopened, moved).size(), 1u);
    EXPECT_EQ(storedFiles(reopened, notes.path()), std::vector<std::string>{stored});
}

// The document is chosen as listing finds it: a moved file by the identity it
// carries, a deleted one by its last path, any one by its id.
TEST_F(StoreMaintenanceTest, ForgetRemovesOneDocumentChosenByFileOrIdAndItsDryRunChangesNothing)
{
    const FileUrl report = test::documentWithVersions(store, documents, "r.txt", {"r0", "r1", "r2"}, "r");
    const std::vector<std::string> reportFiles = storedFiles(store, report.path());
    const std::string moved = test::makeScratchFolder("other") + "/r.txt";
    fs::rename(report.path(), moved);
    const FileUrl deleted = test::documentWithVersions(store, documents, "deleted.txt", {"d0", "d1"}, "d");
    const std::vector<std::string> deletedFiles = storedFiles(store, deleted.path());
    fs::remove(deleted.path());
    const std::string deletedId = fs::path(deletedFiles[0]).parent_path().filename().native();
    std::vector<std::string> reportLines;
    for (std::size_t i = 0; i < reportFiles.size(); ++i)
        reportLines.push_back(report.path() + " " + std::to_string(i) + " " + reportFiles[i]);

    for (const DocumentChoice& choice : {DocumentChoice{moved}, DocumentChoice{deletedId, true}}) {
        SCOPED_TRACE(choice.value);
        const bool byId = choice.byId;
        const auto before = contentsUnder(location + "/documents");
        const Recorder dryRun = forget(choice, true);
        EXPECT_EQ(dryRun.failures, "");
        EXPECT_EQ(forgottenVersions(dryRun).size(), byId ? 2u : 3u);
        if (!byId) {
            EXPECT_EQ(forgottenVersions(dryRun), reportLines);
        }
        EXPECT_EQ(contentsUnder(location + "/documents"), before);

        const Recorder forgotten = forget(choice, false);
        EXPECT_EQ(forgotten.failures, "");
        EXPECT_EQ(forgottenVersions(forgotten), forgottenVersions(dryRun));
    }
    for (const std::string& file : {reportFiles[0], deletedFiles[0]}) {
        EXPECT_FALSE(fs::exists(fs::path(file).parent_path())) << file;
        EXPECT_FALSE(fs::exists(fs::path(file).parent_path().native() + ".log")) << file;
    }
    EXPECT_EQ(storedFiles(store, moved), std::vector<std::string>{});
    EXPECT_EQ(storedFiles(store, deleted.path()), std::vector<std::string>{});
    EXPECT_EQ(storedFiles(store, notes.path()), std::vector<std::string>{stored});
    EXPECT_EQ(test::readFile(stored), test::unpackable("v0"));
    Recorder checked;
    EXPECT_EQ(StoreMaintenance(location).check(checked).findings, 0u);

    // Once forgotten, or never known, a document is a failure, and nothing else is touched.
    const auto after = contentsUnder(location + "/documents");
    for (const DocumentChoice& choice : {DocumentChoice{moved}, DocumentChoice{deletedId, true},
                                         DocumentChoice{"../../" + deletedId, true}, DocumentChoice{documents}}) {
        for (const bool dryRun : {true, false}) {
            const Recorder recorder = forget(choice, dryRun);
            EXPECT_EQ(std::count(recorder.failures.begin(), recorder.failures.end(), '\n'), 1) << recorder.failures;
            EXPECT_NE(recorder.failures.find(choice.value), std::string::npos) << recorder.failures;
            EXPECT_EQ(recorder.paths, std::set<std::string>{});
        }
    }
    EXPECT_EQ(contentsUnder(location + "/documents"), after);
    const Recorder noIndex = [&] {
        Recorder recorder;
        StoreMaintenance(location + "-none").forget(DocumentChoice{moved}, false, recorder);
        return recorder;
    }();
    EXPECT_EQ(std::count(noIndex.failures.begin(), noIndex.failures.end(), '\n'), 1);
    EXPECT_FALSE(fs::exists(location + "-none"));
}

// A document whose contents all pack has its log and no folder. Prune keeps
// the log of one the index lost while it records versions, which check
// reports and repair lists again; a log that leads to nothing goes.
TEST_F(StoreMaintenanceTest, ADocumentWithoutAFolderIsJudgedByItsLog)
{
    const FileUrl packed = test::documentWithVersions(store, documents, "p.txt", {"p0", "p1"}, "p");
    const FileUrl lost = test::documentWithVersions(store, documents, "q.txt", {"q0", "q1"}, "q");
    const std::string lostId = fs::path(test::storedPath(store, lost, 0)).parent_path().filename().native();
    const std::string lostLog = location + "/documents/" + lostId + ".log";
    for (const FileUrl& document : {packed, lost})
        EXPECT_FALSE(fs::exists(fs::path(test::storedPath(store, document, 0)).parent_path()));
    {
        SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE);
        const std::string of = "(SELECT id FROM documents WHERE uuid = '" + lostId + "')";
        ASSERT_TRUE(database.execute(("DELETE FROM versions WHERE document = " + of
                                      + "; DELETE FROM records WHERE "
                                        "holder = "
                                      + of + "; DELETE FROM documents WHERE uuid = '" + lostId + "'")
                                         .c_str()))
            << database.lastError();
    }
    const std::string emptyLog = location + "/documents/" + store::randomId() + ".log";
    test::writeFile(emptyLog, "strataloom-log 1\n");

    Recorder checked;
    StoreMaintenance checker(location);
    checker.setGracePeriod(std::chrono::seconds(0));
    EXPECT_EQ(checker.check(checked).findings, 2u);
    EXPECT_EQ(checked.paths, (std::set<std::string>{lostLog, emptyLog}));
    const Recorder pruned = prune();
    EXPECT_EQ(pruned.failures, "");
    EXPECT_EQ(pruned.paths, std::set<std::string>{emptyLog});
    EXPECT_TRUE(fs::exists(lostLog));
    EXPECT_EQ(storedFiles(store, packed.path()).size(), 2u);

    Recorder repaired;
    StoreMaintenance(location).repair(repaired);
    EXPECT_EQ(repaired.failures, "");
    FileVersionStore reopened(location);
    EXPECT_EQ(storedFiles(reopened, packed.path()).size(), 2u);
    const auto versions = reopened.otherVersionsOfItem(lost);
    ASSERT_TRUE(versions);
    ASSERT_EQ(versions->size(), 2u);
    EXPECT_EQ(test::contentsOf((*versions)[0]), "q0");
}

// "Found" is judged as listing judges it: a file saved over by replacement is
// still the document, another document moved onto its path is not.
TEST_F(StoreMaintenanceTest, DocumentsListsEveryRecordSortedByPathAndWhetherItsFileIsFound)
{
    test::writeFile(documents + "/new", "saved again");
    fs::rename(documents + "/new", notes.path());
    const FileUrl report = test::documentWithVersions(store, documents, "r.txt", {"r0", "r1", "r2"}, "r");
    fs::rename(report.path(), test::makeScratchFolder("other") + "/r.txt");
    const FileUrl odd = test::documentWithVersions(store, documents, "\xff z.txt", {"12345"}, "o");
    const FileUrl c = test::documentWithVersions(store, documents, "c.txt", {"c0"}, "c");
    const FileUrl d = test::documentWithVersions(store, documents, "d.txt", {"d0"}, "d");
    fs::rename(d.path(), c.path());
    // b takes a's path and is added to there: a is listed where it was replaced, after b.
    const FileUrl a = test::documentWithVersions(store, documents, "a.txt", {"a0"}, "a");
    const FileUrl b = test::documentWithVersions(store, documents, "b.txt", {"b0"}, "b");
    fs::remove(a.path());
    fs::rename(b.path(), a.path());
    ASSERT_TRUE(store.saveVersionOfItem(a));

    std::string error;
    const auto listed = StoreMaintenance(location).documents(&error);
    ASSERT_TRUE(listed) << error;
    std::vector<std::string> rows;
    for (const StoredDocument& document : *listed) {
        EXPECT_EQ(document.id.size(), 32u);
        rows.push_back(document.path.value_or(document.id) + " " + std::to_string(document.versions) + " "
                       + std::to_string(document.bytes) + (document.found ? " found" : " missing")
                       + (document.replacedBy ? " replaced" : ""));
    }
    EXPECT_EQ(rows,
              (std::vector<std::string>{a.path() + " 2 3 found", a.path() + " 1 2 missing replaced",
                                        c.path() + " 1 2 missing", d.path() + " 1 2 missing",
                                        notes.path() + " 1 " + std::to_string(test::unpackable("v0").size()) + " found",
                                        report.path() + " 3 6 missing", odd.path() + " 1 5 found"}));

    const auto none = StoreMaintenance(location + "-none").documents(&error);
    ASSERT_TRUE(none) << error;
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(fs::exists(location + "-none"));
    for (const char* suffix : {"-wal", "-shm"})
        fs::remove(location + "/index.sqlite" + suffix);
    test::writeFile(location + "/index.sqlite", std::string(4096, 'z'));
    EXPECT_FALSE(StoreMaintenance(location).documents(&error));
    EXPECT_NE(error.find("index"), std::string::npos) << error;
}

// A version's dates are those recorded when it was added: a stored file whose
// own times changed (a backup restored without them) is sound, one whose
// contents changed is not.
TEST_F(StoreMaintenanceTest, CheckJudgesAStoredFileByItsContentsNotItsTimes)
{
    ASSERT_TRUE(setDates(stored, test::historicalDates(40)));
    Recorder checked;
    EXPECT_EQ(StoreMaintenance(location).check(checked).findings, 0u);
    test::corrupt(stored);
    ASSERT_TRUE(setDates(stored, test::historicalDates(0)));
    checked = Recorder();
    EXPECT_EQ(StoreMaintenance(location).check(checked).findings, 1u);
    EXPECT_EQ(checked.paths, std::set<std::string>{stored});
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

    EXPECT_EQ(prune(StoreMaintenance::kDefaultGracePeriod).paths, std::set<std::string>{});
    EXPECT_EQ(prune().paths, (std::set<std::string>{leftover, emptyFolder}));
    close(writer);
    EXPECT_EQ(prune().paths, std::set<std::string>{inFlight});
    EXPECT_EQ(test::readFile(stored), test::unpackable("v0"));
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
    EXPECT_EQ(recorder.paths, std::set<std::string>{});
    EXPECT_NE(recorder.failures, "");
    EXPECT_EQ(test::readFile(outside), "not the store's");

    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(location + "/index.sqlite" + suffix);
    recorder = prune();
    EXPECT_EQ(recorder.paths, std::set<std::string>{});
    EXPECT_EQ(std::count(recorder.failures.begin(), recorder.failures.end(), '\n'), 1);
    EXPECT_EQ(test::readFile(stored), test::unpackable("v0"));
}

} // namespace
} // namespace strataloom
