#include "FileVersionStore.h"
#include "VersionEdits.h"
#include "support/ArchiveTestSupport.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

std::int64_t scalar(const std::string& sql)
{
    return indexValue(FileVersionStore::defaultLocation(), sql);
}

std::size_t storedFiles()
{
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(FileVersionStore::defaultLocation() + "/documents"))
        count += entry.is_regular_file() && entry.path().extension() != ".log";
    return count;
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

    expectVersionsRead(store.location(), document.path(), {big, big, "other", big});
    expectVersionsRead(store.location(), copy.path(), {big, big});
    EXPECT_LE(storedFiles(), 2u);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM records"), 2);
    EXPECT_EQ(scalar("SELECT COUNT(DISTINCT record) FROM versions"), 2);
    // The log says which record each shared version names.
    const auto versions = store.otherVersionsOfItem(document);
    const std::string log = readFile(fs::path((*versions)[0].URL().path()).parent_path().string() + ".log");
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
        // Kept as a stored file of its own, which the cases damage.
        const FileUrl document =
            documentWithVersions(store, folder, "a.txt", {unpackable("same contents")}, unpackable("same contents"));
        const std::string stored = storedPath(store, document, 0);
        one.damage(stored);
        std::string error;
        ASSERT_TRUE(store.saveVersionOfItem(document, &error)) << error;
        const auto versions = store.otherVersionsOfItem(document);
        ASSERT_EQ(versions->size(), 2u);
        EXPECT_NE((*versions)[1].URL().path(), stored);
        EXPECT_TRUE((*versions)[1].hasLocalContents());
        EXPECT_TRUE(contentsOf((*versions)[1]) == unpackable("same contents"));
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
    expectVersionsRead(store.location(), base.path(), {big, big});
    expectVersionsRead(store.location(), shared.path(), {other});
}

// Small contents are packed when they are added: no file, the record's bytes
// logged before the version that names them, so that a rebuild from the logs
// brings them back; contents that do not compress that far stay a file.
// A document copied and then saved again within one batch of the watcher:
// the copy shares the record the original's save re-encodes. Both commit, in
// either order of the batch, and every version reads back.
TEST(AddedContents, ACopyAndItsOriginalSavedAgainCommitInOneBatch)
{
    for (const bool originalFirst : {true, false}) {
        SCOPED_TRACE(originalFirst ? "original first" : "copy first");
        const std::string location = makeScratchFolder("store"), folder = makeScratchFolder("documents");
        const std::string original = folder + "/original.txt", copy = folder + "/copy.txt";
        const std::string before = unpackable("before"), after = before + "edited\n";
        saveAutomatic(location, original, {before});
        writeFile(copy, before);
        writeFile(original, after);
        AutomaticSaves saves(location);
        std::string error;
        for (const std::string& path : originalFirst ? std::vector{original, copy} : std::vector{copy, original})
            ASSERT_EQ(saves.stage(path, &error), AutomaticSaves::Outcome::Staged) << error;
        ASSERT_TRUE(saves.commit(nullptr, &error)) << error;
        EXPECT_EQ(indexValue(location, "SELECT COUNT(*) FROM records WHERE kind = 1"), 1);
        // Changed since, so that every stored version is listed.
        writeFile(original, "now");
        writeFile(copy, "now");
        expectVersionsRead(location, original, {before, after});
        expectVersionsRead(location, copy, {before});
        EXPECT_TRUE(checkStore(location).findings.empty());
    }
}

TEST(AddedContents, SmallContentsArePackedAtOnceAndComeBackFromTheLog)
{
    std::string text;
    for (int line = 0; text.size() < 60 * 1024; ++line)
        text += "Line " + std::to_string(line) + " of a long and repetitive text\n";
    const struct {
        const char* what;
        std::string contents;
        bool packed;
    } cases[] = {
        {"a few bytes", "a few bytes", true},
        {"nothing at all", "", true},
        {"a text that compresses far", text, true},
        {"bytes that do not compress", unpackable("noise"), false},
        {"too large to be tried", std::string(store::kPackTryLimit + 1, 'y'), false},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.what);
        const std::string location = makeScratchFolder("store") + "/strataloom";
        FileVersionStore store(location);
        const FileUrl document =
            documentWithVersions(store, makeScratchFolder("documents"), "a.txt", {one.contents}, "now");
        const FileVersion version = store.otherVersionsOfItem(document).value().at(0);
        EXPECT_EQ(fs::exists(version.URL().path()), !one.packed);
        EXPECT_EQ(version.storedAt()->recordKind,
                  static_cast<int>(one.packed ? store::RecordKind::Compressed : store::RecordKind::Whole));
        const std::string log = readFile(fs::path(version.URL().path()).parent_path().string() + ".log");
        const std::size_t record = log.find("\nR " + version.storedAt()->file + " ");
        EXPECT_EQ(record != std::string::npos, one.packed) << log;
        if (one.packed) {
            EXPECT_LT(record, log.find("\nV " + version.storedAt()->file + " ")) << log;
        }
        EXPECT_EQ(checkStore(location).damaged, "");

        // The index lost, the log alone brings the version back.
        fs::remove(location + "/index.sqlite");
        EXPECT_EQ(checkStore(location, true).failures, "");
        EXPECT_TRUE(contentsOf(location, document.path()) == std::vector<std::string>{one.contents});
        EXPECT_EQ(checkStore(location).damaged, "");
    }
}

} // namespace
} // namespace strataloom
