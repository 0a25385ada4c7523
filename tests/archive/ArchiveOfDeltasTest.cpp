#include "ArchiveOperation.h"
#include "FileVersionStore.h"
#include "Sqlite.h"
#include "StoreLayout.h"
#include "VersionContents.h"
#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace strataloom {
namespace {

using namespace store;
using namespace test;

constexpr int kVersions = 200;

// A text document's revision `n`: mostly what the one before held.
std::string revision(int n)
{
    std::string text;
    for (int line = 0; line < 300; ++line)
        text += "Line " + std::to_string(line) + " of a history kept as deltas"
              + (line % 41 == n % 41 ? " (revision " + std::to_string(n) + ")" : "") + "\n";
    return text;
}

std::string entry(std::size_t index)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05zu", index);
    return std::string("notes") + digits + ".md";
}

// A history of kVersions versions committed in one batch, so that they are
// held as chains of deltas of the greatest length; then the document itself.
class ArchiveOfDeltas : public testing::Test {
protected:
    void SetUp() override
    {
        writeFile(path, revision(0));
        ASSERT_TRUE(store.saveVersionOfItem(document));
        ASSERT_TRUE(store.beginVersionsOfItem(document));
        const std::string staging = makeScratchFolder("staging");
        for (int n = 1; n < kVersions; ++n) {
            const std::string contents = staging + "/" + std::to_string(n);
            writeFile(contents, revision(n));
            ASSERT_TRUE(store.stageVersion(FileUrl::fromPath(contents)));
        }
        std::string error;
        ASSERT_TRUE(store.commitVersions(&error)) << error;
        writeFile(path, revision(kVersions));
    }
    std::int64_t scalar(const std::string& sql)
    {
        SqliteDatabase database(FileVersionStore::defaultLocation() + "/" + StoreLayout::kIndexName,
                                SQLITE_OPEN_READWRITE);
        SqliteStatement query(database.handle(), sql.c_str());
        return query.step() == SQLITE_ROW ? query.integer(0) : -1;
    }
    ArchiveOutcome archive()
    {
        return writeVersionsArchive(kResponseOK, FileUrl::fromPath(destination), document, "notes", ".md", store,
                                    reporter);
    }

    std::string path = makeScratchFolder("documents") + "/notes.md";
    FileUrl document = FileUrl::fromPath(path);
    FileVersionStore store;
    RecordingReporter reporter;
    std::string destination = makeScratchFolder("destination") + "/notes versions";
};

// Each version's chain runs through the version after it: archived oldest
// first, every record is decoded once, not once per version above it.
TEST_F(ArchiveOfDeltas, EachRecordIsDecodedOnceAndEveryEntryIsTheVersion)
{
    const std::int64_t decodable = scalar("SELECT COUNT(*) FROM records WHERE kind != 0");
    ASSERT_GE(decodable, kVersions - 4);
    ASSERT_GE(scalar("SELECT MAX(height) FROM records"), kMaxChain - 1);

    const std::uint64_t before = VersionContents::decodesSoFar();
    EXPECT_EQ(archive(), ArchiveOutcome::Written);
    EXPECT_EQ(VersionContents::decodesSoFar() - before, static_cast<std::uint64_t>(decodable));

    EXPECT_TRUE(reporter.errors.empty());
    for (int n = 0; n <= kVersions; ++n)
        EXPECT_TRUE(readFile(destination + "/" + entry(static_cast<std::size_t>(n))) == revision(n)) << n;
}

// A record damaged in the middle of a chain takes with it exactly the
// versions read through it, each reported; the others are archived whole,
// including those read after them through records decoded before.
TEST_F(ArchiveOfDeltas, ADamagedRecordInAChainLeavesOutExactlyTheVersionsReadThroughIt)
{
    // A delta well inside a chain: deltas stand on it, and it on another.
    const std::int64_t damaged = scalar("SELECT id FROM records WHERE kind != 0 AND height BETWEEN 20 AND 40 "
                                        "AND id IN (SELECT base FROM records) ORDER BY id LIMIT 1");
    ASSERT_GT(damaged, 0);
    const std::string index = FileVersionStore::defaultLocation() + "/" + StoreLayout::kIndexName;
    const std::string dependents = "WITH RECURSIVE up(id) AS (SELECT " + std::to_string(damaged)
                                 + " UNION SELECT records.id FROM records JOIN up ON records.base = up.id) "
                                   "SELECT position - (SELECT MIN(position) FROM versions) FROM versions "
                                   "WHERE record IN (SELECT id FROM up)";
    std::set<std::string> missing;
    {
        SqliteDatabase database(index, SQLITE_OPEN_READWRITE);
        SqliteStatement query(database.handle(), dependents.c_str());
        while (query.step() == SQLITE_ROW)
            missing.insert(entry(static_cast<std::size_t>(query.integer(0))));
        const std::string damage = "UPDATE records SET checksum = zeroblob(16) WHERE id = " + std::to_string(damaged);
        ASSERT_TRUE(database.execute(damage.c_str()));
    }
    ASSERT_GT(missing.size(), 1u);
    ASSERT_LT(missing.size(), static_cast<std::size_t>(kMaxChain));

    EXPECT_EQ(archive(), ArchiveOutcome::Written);
    EXPECT_EQ(reporter.errors, std::vector<std::string>(missing.size(), "Some versions aren't stored locally."));
    const auto written = entriesOf(destination);
    for (int n = 0; n <= kVersions; ++n) {
        const std::string name = entry(static_cast<std::size_t>(n));
        if (missing.count(name))
            EXPECT_EQ(written.count(name), 0u) << name;
        else
            EXPECT_TRUE(readFile(destination + "/" + name) == revision(n)) << name;
    }
}

} // namespace
} // namespace strataloom
