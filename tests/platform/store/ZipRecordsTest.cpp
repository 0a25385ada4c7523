// Zip archives kept as deltas between their canonical forms: read back byte
// for byte, far smaller than deltas between the archives, and never read as
// other bytes when a record is damaged.
#include "CanonicalForm.h"
#include "Compaction.h"
#include "ContentHash.h"
#include "ZipBuilder.h"
#include "records/RecordCodec.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

// What a reverse chain of deltas between the archives themselves would take.
std::uint64_t rawDeltaBytes(const std::vector<std::string>& revisions)
{
    std::uint64_t total = 0;
    for (std::size_t i = 0; i + 1 < revisions.size(); ++i) {
        const std::string folder = makeScratchFolder("raw");
        writeFile(folder + "/older", revisions[i]);
        writeFile(folder + "/newer", revisions[i + 1]);
        const UniqueFd older(open((folder + "/older").c_str(), O_RDONLY | O_CLOEXEC));
        const UniqueFd newer(open((folder + "/newer").c_str(), O_RDONLY | O_CLOEXEC));
        const DeltaBase base{std::string(kIdLength, 'a'), {newer.get(), revisions[i + 1].size(), {}}};
        std::string record;
        const auto encoded = encodeRecord({older.get(), revisions[i].size(), {}}, &base, record);
        EXPECT_TRUE(encoded && encoded->length);
        total += record.size();
    }
    return total;
}

// Text with a few lines changed from one revision to the next.
std::string revisionText(int n, const char* separator)
{
    std::mt19937 random(7);
    std::string text;
    for (int line = 0; line < 600; ++line)
        text += "Line " + std::to_string(line) + separator + std::to_string(random() % 100000)
              + (line == 300 + 7 * n ? std::string(separator) + "edited in revision " + std::to_string(n) : "") + "\n";
    return text;
}

// What the office suite writes, saved after each edit: stored as canonical
// forms, every version read back as it was, in far fewer bytes than deltas
// between the archives take.
TEST(ZipRecordsTest, OfficeHistoriesAreStoredAsFormsAndReadBackByteForByte)
{
    if (std::system("command -v soffice >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "soffice is not installed (Debian: libreoffice-writer-nogui, libreoffice-calc-nogui)";
    const std::string folder = makeScratchFolder("office");
    constexpr int kRevisions = 4;
    std::string sources[2];
    for (int n = 0; n < kRevisions; ++n) {
        writeFile(folder + "/r" + std::to_string(n) + ".txt", revisionText(n, " value "));
        writeFile(folder + "/r" + std::to_string(n) + ".csv", revisionText(n, ","));
        sources[0] += " r" + std::to_string(n) + ".txt";
        sources[1] += " r" + std::to_string(n) + ".csv";
    }
    const struct {
        const char* format;
        const std::string& sources;
    } formats[] = {{"odt", sources[0]}, {"docx", sources[0]}, {"xlsx", sources[1]}};
    for (const auto& one : formats) {
        SCOPED_TRACE(one.format);
        const std::string location = makeScratchFolder("store");
        FileVersionStore store(location);
        const std::string command = "cd '" + folder + "' && soffice --headless -env:UserInstallation=file://" + folder
                                  + "/profile --convert-to " + one.format + one.sources + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::vector<std::string> revisions;
        for (int n = 0; n < kRevisions; ++n)
            revisions.push_back(readFile(folder + "/r" + std::to_string(n) + "." + one.format));
        const FileUrl document = saveHistory(store, std::string("report.") + one.format, revisions);
        expectVersionsRead(location, document.path(), revisions);

        const auto versions = store.otherVersionsOfItem(document);
        EXPECT_EQ(versions->back().storedAt()->recordKind, static_cast<int>(RecordKind::Whole));
        EXPECT_EQ(fs::file_size(versions->back().URL().path()), revisions.back().size());
        EXPECT_EQ(indexValue(location, "SELECT COUNT(*) FROM records WHERE kind >= 16"), kRevisions - 1);
        const std::int64_t stored =
            indexValue(location, "SELECT SUM(COALESCE(length(packed), file_size)) FROM records WHERE kind != 0");
        const std::uint64_t raw = rawDeltaBytes(revisions);
        std::printf("%s: %lld bytes stored for %d older versions, %llu as deltas between archives\n", one.format,
                    static_cast<long long>(stored), kRevisions - 1, static_cast<unsigned long long>(raw));
        EXPECT_LT(static_cast<std::uint64_t>(stored) * 4, raw);
    }
}

std::string bodyText(int n)
{
    return revisionText(n, " body ");
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
