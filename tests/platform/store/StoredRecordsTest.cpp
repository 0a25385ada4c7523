#include "StoredRecords.h"
#include "DocumentLog.h"
#include "FileVersionStore.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <xxhash.h>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom {
namespace {

using namespace store;
using namespace test;

class StoredRecordsTest : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string document = makeScratchFolder("documents") + "/Report.txt";
        writeFile(document, unpackable("first"));
        ASSERT_TRUE(FileVersionStore().saveVersionOfItem(FileUrl::fromPath(document)));
        ASSERT_TRUE(index.openForWriting());
        SqliteStatement row(index.database().handle(), "SELECT document, file, record FROM versions");
        ASSERT_EQ(row.step(), SQLITE_ROW);
        document_ = row.integer(0);
        file = row.blob(1);
        whole = row.integer(2);
    }

    // A packed record of `kind` held by the document.
    std::int64_t add(RecordKind kind, std::optional<std::int64_t> base, const std::string& checksum = "c",
                     bool canonicalZip = false)
    {
        StoredRecord record;
        record.name = randomId();
        record.holder = document_;
        record.kind = kind;
        record.canonicalZip = canonicalZip;
        record.base = base;
        record.size = 5;
        record.checksum = checksum;
        record.packed = "bytes";
        record.storedBytes = 5;
        std::string error;
        const auto id = records.insert(record, &error);
        EXPECT_TRUE(id) << error;
        return id.value_or(0);
    }
    int height(std::int64_t id) { return records.byId(id)->height; }

    StoreIndex index{StoreLayout(FileVersionStore::defaultLocation())};
    StoredRecords records{index};
    std::int64_t document_ = 0;
    std::string file;
    std::int64_t whole = 0;
};

// A switch moves every version and every delta off the old record, and the
// heights of the whole chain above follow, so a reader's bound stays true.
TEST_F(StoredRecordsTest, ASwitchMovesVersionsAndBasesAndTheHeightsAboveFollow)
{
    ASSERT_TRUE(index.beginWriting());
    const std::int64_t one = add(RecordKind::Delta, whole);
    // A delta between canonical zip forms counts as any delta.
    const std::int64_t two = add(RecordKind::Delta, one, "c", true);
    EXPECT_EQ(height(two), 2);
    EXPECT_TRUE(records.byId(two)->canonicalZip);
    const std::int64_t restart = add(RecordKind::Compressed, std::nullopt);
    const std::int64_t over = add(RecordKind::Delta, restart);
    EXPECT_EQ(height(over), 1);

    std::string error;
    ASSERT_TRUE(records.switchReferences(whole, over, &error)) << error;
    EXPECT_EQ(height(one), 2);
    EXPECT_EQ(height(two), 3);
    EXPECT_FALSE(*records.isNamed(whole));
    EXPECT_TRUE(*records.isNamed(over));
    EXPECT_EQ(records.ofVersion(document_, file)->rowId, over);
    const auto chain = records.chain(*records.byId(two), &error);
    ASSERT_TRUE(chain) << error;
    ASSERT_EQ(chain->size(), 4u);
    EXPECT_EQ(chain->back().rowId, restart);
    ASSERT_TRUE(records.remove(whole, &error)) << error;
    // What is still named cannot go.
    EXPECT_FALSE(records.remove(restart));
    ASSERT_TRUE(index.commit());
}

// A chain longer than readers may walk, or one whose base is gone, names the
// record at fault instead of reading on.
TEST_F(StoredRecordsTest, AChainTooLongOrBrokenNamesTheRecord)
{
    ASSERT_TRUE(index.beginWriting());
    std::int64_t top = whole;
    for (int i = 0; i <= kMaxChain; ++i)
        top = add(RecordKind::Delta, top);
    std::string error;
    EXPECT_FALSE(records.chain(*records.byId(top), &error));
    EXPECT_NE(error.find(records.byId(top)->name), std::string::npos) << error;

    const std::int64_t lone = add(RecordKind::Delta, whole);
    ASSERT_TRUE(index.database().execute("PRAGMA defer_foreign_keys=ON"));
    ASSERT_TRUE(
        index.database().execute(("UPDATE records SET base = 9999 WHERE id = " + std::to_string(lone)).c_str()));
    EXPECT_FALSE(records.chain(*records.byId(lone), &error));
    EXPECT_NE(error.find(records.byId(lone)->name), std::string::npos) << error;
    index.rollback();
}

// Rows a reader must not trust are refused, never read as whole files or
// followed into paths.
TEST_F(StoredRecordsTest, MalformedRowsAreRefused)
{
    const struct {
        const char* what;
        const char* change;
    } cases[] = {
        {"an unknown kind", "kind = 7"},
        {"a name that is no id", "name = '../log'"},
        {"a delta without a base", "kind = 1"},
        {"a whole record without a file", "file_size = NULL"},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.what);
        ASSERT_TRUE(index.beginWriting());
        ASSERT_TRUE(
            index.database().execute(("UPDATE records SET " + std::string(one.change) + " WHERE id = 1").c_str()));
        std::string error;
        EXPECT_FALSE(records.byId(1, &error));
        EXPECT_NE(error.find("malformed"), std::string::npos) << error;
        index.rollback();
    }
}

// An index rebuilt from logs of an older release has versions without a
// record: each is the whole stored file of its name.
TEST_F(StoredRecordsTest, AVersionWithoutARecordIsTheWholeFileOfItsName)
{
    ASSERT_TRUE(index.database().execute("UPDATE versions SET record = NULL"));
    const auto record = records.ofVersion(document_, file);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->name, file);
    EXPECT_EQ(record->kind, RecordKind::Whole);
    EXPECT_EQ(record->size, unpackable("first").size());
    EXPECT_FALSE(records.ofVersion(document_, randomId()));
}

// The log's records of contents read back as written; a damaged one is left
// out rather than misread.
TEST(DocumentLogRecords, RecordsSharingAndSwitchesReadBackAndDamageIsLeftOut)
{
    const std::string folder = makeScratchFolder("log");
    const UniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string document = randomId();
    const std::string version = randomId(), delta = randomId(), packed = randomId(), base = randomId();
    {
        auto log = DocumentLog::open(folderFd.get(), document);
        ASSERT_TRUE(log);
        log->recordVersion({version, 5, "ck", {}, 1, false, false, {}});
        log->recordRecord({delta, RecordKind::Delta, base, 5, "ck", 4000, std::nullopt, true});
        for (const std::string& bytes :
             {std::string(), std::string("a"), std::string("ab"), std::string("abc"), std::string("\0\xff\x7f\n ", 5)})
            log->recordRecord({packed, RecordKind::Compressed, {}, 5, "ck", bytes.size(), bytes});
        log->recordShared(version, delta);
        log->recordSwitch({delta, packed});
        ASSERT_TRUE(log->write());
    }
    auto history = readDocumentLog(folderFd.get(), document);
    ASSERT_TRUE(history);
    ASSERT_EQ(history->records.size(), 6u);
    EXPECT_EQ(history->records[0].base, base);
    EXPECT_EQ(history->records[0].storedLength, 4000u);
    EXPECT_FALSE(history->records[0].packed);
    EXPECT_TRUE(history->records[0].canonicalZip);
    EXPECT_FALSE(history->records[1].canonicalZip);
    EXPECT_EQ(history->records[4].packed, "abc");
    EXPECT_EQ(history->records[5].packed, std::string("\0\xff\x7f\n ", 5));
    EXPECT_EQ(history->versions[0].record, delta);
    ASSERT_EQ(history->switches.size(), 1u);
    EXPECT_EQ(history->switches[0].to, packed);

    const std::string damaged[] = {
        "R " + delta + " 1 - 5 636b 4", // a delta without its base
        "R " + delta + " 2 " + base + " 5 636b 4", // a base for a compressed record
        "R " + delta + " 9 - 5 636b 4", // an unknown kind
        "R " + delta + " 16 - 5 636b 4", // the canonical zip flag on a whole record
        "R " + delta + " 2 - 5 636b 4 YWJj", // packed bytes of another length
        "R " + delta + " 2 - 5 636b 3 YW=j", // padding inside
        "R ../log 2 - 5 636b 3 YWJj", // a name that is no id
        "S " + randomId() + " " + delta, // a version never logged
        "X " + delta + " ../log",
    };
    std::string lines = "strataloom-log 1\n";
    for (const std::string& fields : damaged) {
        char sum[17];
        std::snprintf(sum, sizeof sum, "%016llx",
                      static_cast<unsigned long long>(XXH3_64bits(fields.data(), fields.size())));
        lines += fields + " " + sum + "\n";
    }
    writeFile(folder + "/" + document + ".log", lines);
    history = readDocumentLog(folderFd.get(), document);
    ASSERT_TRUE(history);
    EXPECT_TRUE(history->records.empty());
    EXPECT_TRUE(history->switches.empty());
}

} // namespace
} // namespace strataloom
