#include "ReadingSession.h"
#include "FileVersionStore.h"
#include "StoreLayout.h"
#include "support/RecordTestSupport.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace strataloom {
namespace {

using namespace store;
using namespace test;

std::string revision(int n)
{
    std::string text;
    for (int line = 0; line < 200; ++line)
        text += "Line " + std::to_string(line) + (line % 29 == n % 29 ? " revised " + std::to_string(n) : "") + "\n";
    return text;
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

class ReadingSessionTest : public testing::Test {
protected:
    void SetUp() override
    {
        writeFile(path, revision(0));
        ASSERT_TRUE(store.saveVersionOfItem(document));
        ASSERT_TRUE(store.beginVersionsOfItem(document));
        const std::string staging = makeScratchFolder("staging");
        for (int n = 1; n < kCount; ++n) {
            writeFile(staging + "/" + std::to_string(n), revision(n));
            ASSERT_TRUE(store.stageVersion(FileUrl::fromPath(staging + "/" + std::to_string(n))));
        }
        ASSERT_TRUE(store.commitVersions());
        versions = store.otherVersionsOfItem(document).value();
        ASSERT_EQ(versions.size(), static_cast<std::size_t>(kCount));
    }

    static constexpr int kCount = kMaxChain + 20;
    std::string path = makeScratchFolder("documents") + "/notes.txt";
    FileUrl document = FileUrl::fromPath(path);
    FileVersionStore store;
    std::vector<FileVersion> versions;
};

// However little a session may keep, and in whichever order versions are
// read, each reads as itself: what is let go is decoded again.
TEST_F(ReadingSessionTest, EveryVersionReadsAsItselfWhateverTheSessionKeeps)
{
    const struct {
        const char* what;
        std::uint64_t bytes;
        std::size_t records;
    } bounds[] = {
        {"the usual bounds", ReadingSession::kDefaultBytes, ReadingSession::kDefaultRecords},
        {"room for two records", ReadingSession::kDefaultBytes, 2},
        {"room for one record", ReadingSession::kDefaultBytes, 1},
        {"no room at all", 0, 0},
    };
    for (const auto& bound : bounds) {
        for (const bool oldestFirst : {true, false}) {
            SCOPED_TRACE(std::string(bound.what) + (oldestFirst ? ", oldest first" : ", newest first"));
            ReadingSession session(bound.bytes, bound.records);
            for (int step = 0; step < kCount; ++step) {
                const int n = oldestFirst ? step : kCount - 1 - step;
                std::string why;
                ASSERT_TRUE(versions[static_cast<std::size_t>(n)].hasLocalContents(session, &why)) << n << why;
                const UniqueFd contents = versions[static_cast<std::size_t>(n)].openContents(session, &why);
                ASSERT_TRUE(contents.valid()) << n << why;
                EXPECT_TRUE(readAll(contents.get()) == revision(n)) << n;
            }
        }
    }
}

// Versions open at once (a comparison, a preview beside a copy) each read
// from their own position, whatever the session read meanwhile, and cannot
// write to what the session keeps.
TEST_F(ReadingSessionTest, VersionsOpenAtOnceReadIndependently)
{
    ReadingSession session;
    const UniqueFd older = versions[1].openContents(session);
    ASSERT_TRUE(older.valid());
    char first[10];
    ASSERT_EQ(read(older.get(), first, sizeof first), static_cast<ssize_t>(sizeof first));
    const UniqueFd oldest = versions[0].openContents(session);
    const UniqueFd again = versions[1].openContents(session);
    ASSERT_TRUE(oldest.valid() && again.valid());
    EXPECT_TRUE(readAll(oldest.get()) == revision(0));
    EXPECT_TRUE(readAll(again.get()) == revision(1));
    EXPECT_TRUE(std::string(first, sizeof first) + readAll(older.get()) == revision(1));
    EXPECT_LT(write(again.get(), "x", 1), 0);
    const UniqueFd third = versions[1].openContents(session);
    EXPECT_TRUE(readAll(third.get()) == revision(1));
}

// Whether each version is local, as a session tells, in either order, is
// what looking at each version alone tells.
void expectSessionsAgreeWithLookingAlone(const std::vector<FileVersion>& versions)
{
    std::vector<bool> alone;
    for (const FileVersion& version : versions)
        alone.push_back(version.hasLocalContents());
    for (const bool oldestFirst : {true, false}) {
        SCOPED_TRACE(oldestFirst ? "oldest first" : "newest first");
        ReadingSession session;
        for (std::size_t step = 0; step < versions.size(); ++step) {
            const std::size_t n = oldestFirst ? step : versions.size() - 1 - step;
            EXPECT_EQ(versions[n].hasLocalContents(session), alone[n]) << n;
        }
    }
}

// A record that does not hold what the index says makes the versions whose
// chain runs through it not local, and only those, however a session, which
// looks at each record once, is asked.
TEST_F(ReadingSessionTest, ADamagedRecordMakesTheVersionsAboveItNotLocalInAnyOrder)
{
    alterIndex(FileVersionStore::defaultLocation(),
               "UPDATE records SET checksum = zeroblob(16) WHERE name = '" + versions[40].storedAt()->record + "'");
    EXPECT_FALSE(versions[40].hasLocalContents());
    EXPECT_TRUE(versions[41].hasLocalContents());
    expectSessionsAgreeWithLookingAlone(versions);
}

// A chain joined to another one below it (an index damaged by hand) is longer
// than a reader may walk: the versions at its top are not local, although
// every record below them was found present with a chain of its own.
TEST_F(ReadingSessionTest, AChainTooLongIsNotLocalThoughItsRecordsArePresent)
{
    std::size_t cut = 1;
    while (cut + 1 < versions.size() && versions[cut].storedAt()->recordKind != 2)
        ++cut;
    ASSERT_LT(cut + 1, versions.size());
    alterIndex(FileVersionStore::defaultLocation(),
               "UPDATE records SET kind = 1, base = (SELECT id FROM records WHERE name = '"
                   + versions[cut + 1].storedAt()->record + "') WHERE name = '" + versions[cut].storedAt()->record
                   + "'");
    EXPECT_FALSE(versions[cut].hasLocalContents());
    EXPECT_TRUE(versions.back().hasLocalContents());
    expectSessionsAgreeWithLookingAlone(versions);
}

} // namespace
} // namespace strataloom
