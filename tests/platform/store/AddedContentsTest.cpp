#include "FileVersionStore.h"
#include "Sqlite.h"
#include "StoreLayout.h"
#include "VersionEdits.h"
#include "support/ArchiveTestSupport.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

std::int64_t scalar(const std::string& sql)
{
    SqliteDatabase database(FileVersionStore::defaultLocation() + "/index.sqlite", SQLITE_OPEN_READONLY);
    SqliteStatement query(database.handle(), sql.c_str());
    return query.step() == SQLITE_ROW ? query.integer(0) : -1;
}

std::size_t storedFiles()
{
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(FileVersionStore::defaultLocation() + "/documents"))
        count += entry.is_regular_file() && entry.path().filename() != "log";
    return count;
}

void expectReadable(FileVersionStore& store, const FileUrl& document, const std::vector<std::string>& contents)
{
    const auto versions = store.otherVersionsOfItem(document);
    ASSERT_TRUE(versions);
    ASSERT_EQ(versions->size(), contents.size());
    for (std::size_t i = 0; i < contents.size(); ++i) {
        std::string why;
        EXPECT_TRUE((*versions)[i].hasLocalContents(&why)) << why;
        EXPECT_TRUE(contentsOf((*versions)[i]) == contents[i]) << i;
    }
}

// Saving unchanged contents again, or a copy of a document, costs a record's
// row, not a copy: every version names the one stored file, and reads it.
TEST(AddedContents, UnchangedSavesAndCopiesNameTheStoredRecord)
{
    FileVersionStore store;
    const std::string folder = makeScratchFolder("documents");
    const std::string big(300 * 1024, 'x');
    const FileUrl document = documentWithVersions(store, folder, "a.txt", {big, big, "other", big}, big);
    writeFile(folder + "/copy.txt", big);
    const FileUrl copy = FileUrl::fromPath(folder + "/copy.txt");
    ASSERT_TRUE(store.saveVersionOfItem(copy));
    ASSERT_TRUE(store.saveVersionOfItem(copy));

    expectReadable(store, document, {big, big, "other", big});
    expectReadable(store, copy, {big, big});
    EXPECT_LE(storedFiles(), 2u);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM records"), 2);
    EXPECT_EQ(scalar("SELECT COUNT(DISTINCT record) FROM versions"), 2);
    // The log says which record each shared version names.
    const auto versions = store.otherVersionsOfItem(document);
    const std::string log = readFile(fs::path((*versions)[0].URL().path()).parent_path() / "log");
    EXPECT_NE(log.find("\nS " + (*versions)[1].storedAt()->file + " " + (*versions)[0].storedAt()->file + " "),
              std::string::npos)
        << log;
}

// A checksum only picks the candidates: a record whose checksum and size
// match but whose bytes differ (a collision, or a record damaged since) is
// never named, and neither is one whose file is gone.
TEST(AddedContents, ARecordIsSharedOnlyWhenItsBytesAreTheSame)
{
    const struct {
        const char* what;
        void (*damage)(const std::string& storedFile);
    } cases[] = {
        {"other bytes under the same checksum", [](const std::string& stored) { corrupt(stored); }},
        {"its file gone", [](const std::string& stored) { fs::remove(stored); }},
        {"its file grown", [](const std::string& stored) { writeFile(stored, readFile(stored) + "!"); }},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.what);
        FileVersionStore store;
        const std::string folder = makeScratchFolder("documents");
        const FileUrl document = documentWithVersions(store, folder, "a.txt", {"same contents"}, "same contents");
        const std::string stored = storedPath(store, document, 0);
        one.damage(stored);
        std::string error;
        ASSERT_TRUE(store.saveVersionOfItem(document, &error)) << error;
        const auto versions = store.otherVersionsOfItem(document);
        ASSERT_EQ(versions->size(), 2u);
        EXPECT_NE((*versions)[1].URL().path(), stored);
        EXPECT_TRUE((*versions)[1].hasLocalContents());
        EXPECT_EQ(contentsOf((*versions)[1]), "same contents");
    }
}

// Removing the version whose file holds contents other versions share, or
// the newest version, whose record the ones before are deltas against,
// leaves every other version readable.
TEST(AddedContents, RemovingAVersionNeverTakesContentsOthersStillName)
{
    FileVersionStore store;
    const std::string folder = makeScratchFolder("documents");
    const std::string big(200 * 1024, 'b'), other(100 * 1024, 'o');
    const FileUrl base = documentWithVersions(store, folder, "base.txt", {big, big, big + "!"}, "now");
    const FileUrl shared = documentWithVersions(store, folder, "shared.txt", {other, other}, "now");
    std::string error;
    ASSERT_TRUE(deleteVersions(store.location(), base.path(), {2}, false, &error)) << error;
    ASSERT_TRUE(deleteVersions(store.location(), shared.path(), {0}, false, &error)) << error;
    expectReadable(store, base, {big, big});
    expectReadable(store, shared, {other});
}

} // namespace
} // namespace strataloom
