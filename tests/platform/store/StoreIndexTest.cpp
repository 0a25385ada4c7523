#include "StoreIndex.h"
#include "ContentHash.h"
#include "FileVersionStore.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace store;
using namespace test;

// Kept statements are found by their text, never by where the text is stored:
// a buffer reused for another query gets that query.
TEST(SqliteStatementCache, FindsStatementsByTextWhereverItIsStored)
{
    SqliteDatabase database(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_TRUE(database.valid());
    SqliteStatementCache cache;
    char buffer[32] = "SELECT 1";
    SqliteStatement& one = cache.statement(database.handle(), buffer);
    ASSERT_EQ(one.step(), SQLITE_ROW);
    EXPECT_EQ(one.integer(0), 1);
    one.reset();
    std::snprintf(buffer, sizeof buffer, "SELECT 2");
    SqliteStatement& two = cache.statement(database.handle(), buffer);
    ASSERT_EQ(two.step(), SQLITE_ROW);
    EXPECT_EQ(two.integer(0), 2);
    two.reset();
    EXPECT_EQ(&cache.statement(database.handle(), std::string("SELECT 1").c_str()), &one);
    EXPECT_FALSE(cache.statement(database.handle(), "SELECT FROM").valid());
    cache.clear();
}

const std::string kFixtureDocument = "/nonexistent-strataloom-fixture/notes.txt";

// The single value `sql` returns.
std::int64_t scalar(SqliteDatabase& database, const char* sql)
{
    SqliteStatement query(database.handle(), sql);
    return query.step() == SQLITE_ROW ? query.integer(0) : -1;
}

bool hasColumn(SqliteDatabase& database, const char* table, const char* column)
{
    SqliteStatement query(database.handle(), "SELECT 1 FROM pragma_table_info(?) WHERE name = ?");
    query.bindText(1, table).bindText(2, column);
    return query.step() == SQLITE_ROW;
}

bool addAutomaticColumn(SqliteDatabase& database, std::string*)
{
    return database.execute("ALTER TABLE versions ADD COLUMN automatic INTEGER NOT NULL DEFAULT 0");
}

bool failingStep(SqliteDatabase& database, std::string*)
{
    return database.execute("UPDATE nowhere SET nothing = 1");
}

class StoreIndexTest : public testing::Test {
protected:
    // A store as the release that wrote the format-N fixture left it: its index
    // rebuilt from the dump, its stored files copied beside it.
    void installFormatOneFixture() { installFixture("format-1"); }
    void installFixture(const char* format)
    {
        const fs::path fixture = fs::path(STRATALOOM_STORE_TEST_DATA) / format;
        fs::create_directories(location);
        fs::copy(fixture / "documents", location + "/documents", fs::copy_options::recursive);
        SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        ASSERT_TRUE(database.valid());
        ASSERT_TRUE(database.execute(readFile((fixture / "index.sql").string()).c_str())) << database.lastError();
    }

    // The versions of the fixture's document at `path`, opened as the store
    // opens it (upgrading it): `count` of them, each local and reading as its
    // checksum says.
    std::vector<FileVersion> fixtureVersions(const std::string& path, std::size_t count)
    {
        const auto versions = FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(path));
        EXPECT_TRUE(versions && versions->size() == count) << path;
        if (!versions || versions->size() != count)
            return {};
        for (const FileVersion& version : *versions) {
            EXPECT_TRUE(version.hasLocalContents()) << path;
            UniqueFd contents = version.openContents();
            EXPECT_TRUE(contents.valid() && checksumOfFile(contents.get()) == version.fingerprint()->checksum) << path;
        }
        return *versions;
    }

    std::int64_t indexValue(const char* sql)
    {
        SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READONLY);
        return scalar(database, sql);
    }

    std::string location = FileVersionStore::defaultLocation();
};

TEST_F(StoreIndexTest, TheFormatOneStoreOfTheFirstReleaseListsItsVersionsInOrderWithTheirDates)
{
    installFormatOneFixture();
    const auto versions = fixtureVersions(kFixtureDocument, 2);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_EQ(contentsOf(versions[0]), "first\n");
    EXPECT_EQ(contentsOf(versions[1]), "second\n");
    EXPECT_EQ(versions[0].dates()->modification.toIso8601(), "2020-01-02T03:04:05.123456789Z");
    EXPECT_EQ(versions[1].dates()->modification.toIso8601(), "2021-06-07T08:09:10.500000000Z");
    // Upgraded on first opening: its versions were all asked for.
    EXPECT_FALSE(versions[0].isAutomatic() || versions[1].isAutomatic());
    EXPECT_EQ(indexValue("PRAGMA user_version"), kFormatVersion);
    EXPECT_EQ(indexValue("PRAGMA application_id"), kApplicationId);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM versions WHERE automatic = 0"), 2);
}

// Format 3 knows where the document's file was seen holding each version;
// versions of earlier formats are compared by checksum instead.
TEST_F(StoreIndexTest, TheFormatTwoStoreKeepsItsMarksAndKnowsNoSeenState)
{
    installFixture("format-2");
    const auto versions = fixtureVersions(kFixtureDocument, 2);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_TRUE(versions[0].isPinned());
    EXPECT_FALSE(versions[0].isAutomatic());
    EXPECT_TRUE(versions[1].isAutomatic());
    EXPECT_EQ(indexValue("PRAGMA user_version"), kFormatVersion);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM versions WHERE seen_change_time_ns IS NULL"), 2);
}

// Format 4 remembers where a document stood when another took its place; a
// document that lost its place before keeps its versions and stays without one.
TEST_F(StoreIndexTest, TheFormatThreeStoreKeepsItsSeenStateAndGetsNoEarlierHistories)
{
    installFixture("format-3");
    const auto versions = fixtureVersions(kFixtureDocument, 2);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_TRUE(versions[0].isPinned());
    EXPECT_TRUE(versions[1].isAutomatic());
    const auto earlier = FileVersionStore().earlierHistoriesOfItem(FileUrl::fromPath(kFixtureDocument));
    ASSERT_TRUE(earlier);
    EXPECT_TRUE(earlier->empty());
    EXPECT_EQ(indexValue("PRAGMA user_version"), kFormatVersion);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM versions WHERE seen_change_time_ns IS NOT NULL"), 1);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM documents WHERE replaced_path IS NULL AND replaced_by IS NULL "
                         "AND replaced_ns IS NULL"),
              2);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM versions WHERE document = 2"), 1);
}

// Format 5 keeps contents in records: every stored file of format 4 becomes a
// whole record named like its version, held by its document, and nothing moves.
TEST_F(StoreIndexTest, TheFormatFourStoreGetsAWholeRecordPerVersionAndReadsAsBefore)
{
    installFixture("format-4");
    const auto notes = fixtureVersions(kFixtureDocument, 2);
    const auto other = fixtureVersions("/nonexistent-strataloom-fixture/other.txt", 2);
    ASSERT_EQ(notes.size() + other.size(), 4u);
    EXPECT_TRUE(notes[1].isPinned());
    EXPECT_TRUE(other[1].isAutomatic());
    EXPECT_EQ(indexValue("PRAGMA user_version"), kFormatVersion);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM records"), 4);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM versions JOIN records ON records.id = versions.record WHERE "
                         "records.name = versions.file AND records.holder = versions.document AND records.kind "
                         "= 0 AND records.base IS NULL AND records.size = versions.size AND records.checksum = "
                         "versions.checksum AND records.packed IS NULL"),
              4);

    // A version added now names a record of its own: small contents packed,
    // with what their bytes take.
    const std::string document = makeScratchFolder("documents") + "/Report.txt";
    writeFile(document, "now");
    ASSERT_TRUE(FileVersionStore().saveVersionOfItem(FileUrl::fromPath(document)));
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM versions WHERE record IS NULL"), 0);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM records WHERE stored_bytes >= 3 AND inode IS NOT NULL"), 4);
    EXPECT_EQ(indexValue("SELECT COUNT(*) FROM records WHERE kind = 2 AND inode IS NULL AND stored_bytes = "
                         "length(packed)"),
              1);
}

// Format 6 keeps each log beside its document's folder, and a folder only
// for record files: the packed-only document loses its folder.
class FormatFiveStore : public StoreIndexTest {
protected:
    static constexpr const char* kNotes = "ee8da2f0a8cd6445d24b5cad5576539d";
    static constexpr const char* kSmall = "a8ff5c3010c3a2b70edad165986bddf4";

    std::string documents() const { return location + "/documents/"; }

    void expectReadable()
    {
        fixtureVersions("/nonexistent-strataloom-fixture/notes.txt", 3);
        fixtureVersions("/nonexistent-strataloom-fixture/small.txt", 2);
        EXPECT_EQ(indexValue("PRAGMA user_version"), kFormatVersion);
        EXPECT_TRUE(fs::is_regular_file(documents() + kNotes + ".log"));
        EXPECT_TRUE(fs::is_regular_file(documents() + kSmall + ".log"));
        EXPECT_TRUE(fs::is_directory(documents() + kNotes));
        EXPECT_FALSE(fs::exists(documents() + kSmall));
    }
};

TEST_F(FormatFiveStore, LogsMoveBesideTheirFoldersAndAFolderWithoutRecordFilesGoes)
{
    installFixture("format-5");
    expectReadable();
    EXPECT_FALSE(fs::exists(documents() + kNotes + "/log"));

    // Added now, small contents make no folder.
    const std::string document = makeScratchFolder("documents") + "/Report.txt";
    writeFile(document, "now");
    FileVersionStore store;
    ASSERT_TRUE(store.saveVersionOfItem(FileUrl::fromPath(document)));
    std::size_t folders = 0;
    for (const auto& entry : fs::directory_iterator(documents()))
        folders += entry.is_directory();
    EXPECT_EQ(folders, 1u);
}

// A kill part-way leaves format 5 with some logs moved: the next opening
// moves the rest and keeps a log in place. Entries that are no log are left.
TEST_F(FormatFiveStore, AnUpgradeCutShortFinishesAndLeavesWhatIsNoLog)
{
    installFixture("format-5");
    fs::rename(documents() + kNotes + "/log", documents() + kNotes + ".log");
    const std::string notesLog = readFile(documents() + kNotes + ".log");
    writeFile(documents() + kNotes + "/log", notesLog + "not the log in place\n");
    const std::string outside = makeScratchFolder("outside") + "/secret";
    writeFile(outside, "not the store's");
    const struct {
        const char* what;
        void (*make)(const std::string& path, const std::string& outside);
    } hostile[] = {
        {"a symbolic link", [](const std::string& path, const std::string& to) { fs::create_symlink(to, path); }},
        {"a FIFO", [](const std::string& path, const std::string&) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"a folder", [](const std::string& path, const std::string&) { fs::create_directory(path); }},
    };
    std::vector<std::string> strangers;
    for (const auto& one : hostile) {
        strangers.push_back(randomId());
        fs::create_directory(documents() + strangers.back());
        one.make(documents() + strangers.back() + "/log", outside);
    }

    expectReadable();
    EXPECT_EQ(readFile(documents() + kNotes + ".log"), notesLog);
    for (std::size_t i = 0; i < strangers.size(); ++i) {
        SCOPED_TRACE(hostile[i].what);
        EXPECT_TRUE(fs::exists(fs::symlink_status(documents() + strangers[i] + "/log")));
        EXPECT_FALSE(fs::exists(fs::symlink_status(documents() + strangers[i] + ".log")));
    }
    EXPECT_EQ(readFile(outside), "not the store's");
}

// Every step from the stored format runs in one transaction: one that fails
// leaves the old format whole. (An index at the newest format runs no step
// again, as every test that opens a store twice shows.)
TEST_F(StoreIndexTest, AFailedUpgradeLeavesTheOldFormatWhole)
{
    installFormatOneFixture();
    SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE);
    const Migration steps[] = {addAutomaticColumn, failingStep};
    std::string error;
    EXPECT_FALSE(prepareFormat(database, steps, &error));
    EXPECT_NE(error.find("format 2"), std::string::npos) << error;
    EXPECT_EQ(scalar(database, "PRAGMA user_version"), 1);
    EXPECT_FALSE(hasColumn(database, "versions", "automatic"));
    EXPECT_EQ(scalar(database, "SELECT COUNT(*) FROM versions"), 2);
}

TEST_F(StoreIndexTest, ANewerFormatOrAForeignDatabaseIsRefusedAndLeftUntouched)
{
    installFormatOneFixture();
    {
        SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE);
        ASSERT_TRUE(database.execute("PRAGMA user_version = 7"));
    }
    std::string error;
    FileVersionStore store;
    EXPECT_FALSE(store.otherVersionsOfItem(FileUrl::fromPath(kFixtureDocument)));
    const std::string document = makeScratchFolder("documents") + "/Report.txt";
    writeFile(document, "now");
    EXPECT_FALSE(store.saveVersionOfItem(FileUrl::fromPath(document), &error));
    EXPECT_NE(error.find("newer"), std::string::npos) << error;

    // Another program's database, with tables of its own and no format number.
    const std::string other = makeScratchFolder("other") + "/other.sqlite";
    SqliteDatabase database(other, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_TRUE(database.execute("CREATE TABLE contacts (name TEXT)"));
    EXPECT_FALSE(prepareFormat(database, migrations(), &error));
    EXPECT_EQ(scalar(database, "SELECT COUNT(*) FROM sqlite_schema"), 1);
    EXPECT_EQ(scalar(database, "PRAGMA user_version"), 0);
}

// The first add killed half-way through creating the index leaves a rollback
// journal; reading must recover from it rather than fail until someone writes.
TEST_F(StoreIndexTest, AnIndexLeftMidTransactionByAKilledWriterIsRecoveredOnReading)
{
    fs::create_directories(location);
    const pid_t child = fork();
    if (child == 0) {
        SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        // A tiny cache spills the transaction's pages into the file before it commits.
        database.execute("PRAGMA cache_size=1");
        database.execute("BEGIN IMMEDIATE; CREATE TABLE filler (x BLOB)");
        for (int i = 0; i < 200; ++i)
            database.execute("INSERT INTO filler VALUES (zeroblob(4000))");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(fs::exists(location + "/index.sqlite-journal"));

    FileVersionStore store;
    const auto versions = store.otherVersionsOfItem(FileUrl::fromPath(kFixtureDocument));
    ASSERT_TRUE(versions);
    EXPECT_TRUE(versions->empty());
    const std::string document = makeScratchFolder("documents") + "/Report.txt";
    writeFile(document, "now");
    std::string error;
    EXPECT_TRUE(store.saveVersionOfItem(FileUrl::fromPath(document), &error)) << error;
    EXPECT_EQ(FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(document))->size(), 1u);
}

} // namespace
} // namespace strataloom
