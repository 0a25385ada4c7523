// Zip archives kept as deltas between their canonical forms: read back byte
// for byte, and never read as other bytes when a record is damaged. (What
// the forms save on the office suite's files is bench/'s to measure.)
#include "CanonicalForm.h"
#include "Compaction.h"
#include "ContentHash.h"
#include "ZipBuilder.h"
#include "records/RecordCodec.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace store;
using namespace test;

std::string textOf(const std::string& location, const std::string& sql)
{
    SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READONLY);
    SqliteStatement query(database.handle(), sql.c_str());
    return query.step() == SQLITE_ROW ? query.blob(0) : std::string();
}

// Saves each of `revisions` as a version of one document, then compacts the
// store; returns the document. A save leaves the archive before it whole: its
// canonical form is compaction's work.
FileUrl saveHistory(FileVersionStore& store, const std::string& name, const std::vector<std::string>& revisions)
{
    const std::string path = makeScratchFolder("documents") + "/" + name;
    for (const std::string& contents : revisions) {
        writeFile(path, contents);
        std::string error;
        EXPECT_TRUE(store.saveVersionOfItem(FileUrl::fromPath(path), &error)) << error;
    }
    EXPECT_EQ(indexValue(store.location(), "SELECT COUNT(*) FROM records WHERE kind >= 16"), 0);
    std::string error;
    EXPECT_TRUE(compactStore(store.location(), {}, &error)) << error;
    return FileUrl::fromPath(path);
}

// Text with a few lines changed from one revision to the next.
std::string bodyText(int n)
{
    std::mt19937 random(7);
    std::string text;
    for (int line = 0; line < 600; ++line)
        text += "Line " + std::to_string(line) + " body " + std::to_string(random() % 100000)
              + (line == 300 + 7 * n ? " body edited in revision " + std::to_string(n) : "") + "\n";
    return text;
}

// Archives whose deflated members no pinned deflater reproduces keep them
// deflated, or are kept as they are when none rebuilds: every version still
// reads back.
TEST(ZipRecordsTest, ArchivesThatDoNotRebuildFallBackAndReadBack)
{
    const struct {
        const char* what;
        std::function<std::string(int)> zip;
        bool canonical;
    } cases[] = {
        {"every member deflated by another writer",
         [](int n) { return buildZip({foreignEntry("body.xml", literalOnlyDeflate(bodyText(n)))}); }, false},
        {"members stored, not deflated", [](int n) { return buildZip({storedEntry("body.xml", bodyText(n))}); }, false},
        {"one member of another writer beside ours",
         [](int n) {
             return buildZip({deflatedEntry("body.xml", bodyText(n)),
                              foreignEntry("extra.xml", literalOnlyDeflate("fixed part " + std::to_string(n % 2)))});
         },
         true},
        {"not a zip past its signature", [](int n) { return "PK\x03\x04" + bodyText(n); }, false},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.what);
        const std::string location = makeScratchFolder("store");
        FileVersionStore store(location);
        std::vector<std::string> revisions;
        for (int n = 0; n < 3; ++n)
            revisions.push_back(one.zip(n));
        const FileUrl document = saveHistory(store, "bundle.zip", revisions);
        expectVersionsRead(location, document.path(), revisions);
        EXPECT_EQ(indexValue(location, "SELECT COUNT(*) FROM records WHERE kind >= 16"), one.canonical ? 2 : 0);
        // The newest stays as it was added: a file, or packed when small.
        EXPECT_EQ(indexValue(location,
                             "SELECT COUNT(*) FROM records WHERE kind = 0 OR (kind = 2 AND packed IS NOT NULL)"),
                  1);
        EXPECT_EQ(checkStore(location).damaged, "");
        // An index rebuilt from the logs knows the records as they were made.
        fs::remove(location + "/index.sqlite");
        EXPECT_EQ(checkStore(location, true).damaged, "");
        EXPECT_EQ(indexValue(location, "SELECT COUNT(*) FROM records WHERE kind >= 16"), one.canonical ? 2 : 0);
        expectVersionsRead(location, document.path(), revisions);
    }
}

// A canonical record damaged in any way makes its version not local or
// unreadable, with a message naming the record; never other bytes.
TEST(ZipRecordsTest, ADamagedCanonicalRecordIsNamedAndNeverReadAsOtherBytes)
{
    const auto zipOf = [](int n) { return buildZip({deflatedEntry("body.xml", bodyText(n))}); };
    const auto flipAt = [](std::size_t at) {
        return [at](std::string record, const std::string&) {
            record[at] = static_cast<char>(record[at] ^ 0x20);
            return record;
        };
    };
    const struct {
        const char* what;
        std::function<std::string(std::string record, const std::string& older)> damage;
        bool local;
    } cases[] = {
        {"a byte of the archive's checksum in the header", flipAt(110), false},
        {"a byte of the form's frame", flipAt(kCanonicalHeaderLength + 40), true},
        {"a form that decodes but rebuilds other bytes",
         [](const std::string&, const std::string& older) {
             auto form = zip::canonicalForm(older);
             EXPECT_TRUE(form);
             (*form)[form->size() / 2] ^= 0x01;
             const std::string folder = makeScratchFolder("form");
             writeFile(folder + "/form", *form);
             const UniqueFd file(open((folder + "/form").c_str(), O_RDONLY | O_CLOEXEC));
             EncodeOptions options;
             Checksum checksum;
             checksum.update(older.data(), older.size());
             options.archive = ArchiveOfForm{older.size(), *checksum.finish()};
             std::string record;
             EXPECT_TRUE(encodeRecord({file.get(), form->size(), {}}, nullptr, record, options));
             return record;
         },
         true},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.what);
        const std::string location = makeScratchFolder("store");
        FileVersionStore store(location);
        const FileUrl document = saveHistory(store, "bundle.zip", {zipOf(0), zipOf(1)});
        const std::string name = textOf(location, "SELECT name FROM records WHERE kind >= 16");
        ASSERT_FALSE(name.empty());
        {
            SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE);
            SqliteStatement read(database.handle(), "SELECT packed FROM records WHERE kind >= 16");
            ASSERT_EQ(read.step(), SQLITE_ROW);
            ASSERT_FALSE(read.isNull(0));
            const std::string damaged = one.damage(read.blob(0), zipOf(0));
            read.reset();
            SqliteStatement write(database.handle(),
                                  "UPDATE records SET packed = ?, kind = 16 + ?, base = CASE WHEN ? = 1 THEN base END "
                                  "WHERE kind >= 16");
            const std::int64_t kind = damaged[14];
            write.bindBlob(1, damaged).bind(2, kind).bind(3, kind);
            ASSERT_EQ(write.step(), SQLITE_DONE);
        }
        const auto versions = FileVersionStore(location).otherVersionsOfItem(document);
        ASSERT_TRUE(versions);
        std::string why;
        EXPECT_EQ(versions->front().hasLocalContents(&why), one.local) << why;
        if (!one.local) {
            EXPECT_NE(why.find("record"), std::string::npos) << why;
        }
        why.clear();
        EXPECT_EQ(readVersion(versions->front(), &why), "(unreadable)");
        EXPECT_NE(why.find("stored record " + name), std::string::npos) << why;
        EXPECT_TRUE(readVersion(versions->back()) == zipOf(1));
        EXPECT_NE(checkStore(location).damaged.find(name), std::string::npos);
    }
}

} // namespace
} // namespace strataloom
