// Removal, forget, check and repair of histories held as deltas and shared
// contents.
#include "Compaction.h"
#include "Nanoseconds.h"
#include "Thinning.h"
#include "VersionEdits.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr std::int64_t kDay = 86'400'000'000'000;

class RecordRemovalTest : public testing::Test {
protected:
    // A history of `count` revisions, every one but the newest a delta against
    // the next; the document's file gone, so that every version is listed.
    std::vector<std::string> history(const std::string& path, int count)
    {
        std::vector<std::string> revisions;
        for (int n = 0; n < count; ++n)
            revisions.push_back(revision(n));
        saveAutomatic(location, path, revisions);
        fs::remove(path);
        std::string error;
        EXPECT_TRUE(compactStore(location, {}, &error)) << error;
        EXPECT_EQ(recordKinds(location), (std::vector<int>{1, count - 1, 0}));
        return revisions;
    }

    // Where the record of the document's version `index` is stored.
    std::string recordPath(const std::string& document, int index)
    {
        SqliteDatabase database(store::StoreLayout(location).indexPath(), SQLITE_OPEN_READONLY);
        SqliteStatement query(database.handle(),
                              "SELECT h.uuid, r.name FROM versions v JOIN documents d ON d.id = v.document JOIN "
                              "records r ON r.id = v.record JOIN documents h ON h.id = r.holder WHERE d.path = ? "
                              "ORDER BY v.position LIMIT 1 OFFSET ?");
        query.bindBlob(1, document).bind(2, index);
        EXPECT_EQ(query.step(), SQLITE_ROW);
        return location + "/documents/" + query.blob(0) + "/" + query.blob(1);
    }

    void loseIndexAndRepair()
    {
        loseIndex(location);
        EXPECT_EQ(checkStore(location, true).damaged, "");
    }

    std::string location = makeScratchFolder("store") + "/strataloom";
    std::string folder = makeScratchFolder("documents");
};

// Thinning takes the four middle versions of a day, whose records the oldest
// is made against one after the other: it is re-based once, on the newest,
// and nothing else is left behind; a rebuilt index agrees.
TEST_F(RecordRemovalTest, ThinningReBasesWhatItKeepsOnTheNearestKeptVersion)
{
    const std::string notes = folder + "/notes.txt";
    const std::vector<std::string> revisions = history(notes, 6);
    ThinningOptions options;
    options.nowNs = nowNs() + 2 * kDay;
    std::string error;
    const auto result = thinStore(location, options, &error);
    ASSERT_TRUE(result) << error;
    EXPECT_EQ(result->removed, 4u);
    EXPECT_EQ(revisionsOf(location, notes, revisions), revisionNames({0, 5}));
    EXPECT_EQ(recordKinds(location), (std::vector<int>{1, 1, 0}));
    const CheckFindings checked = checkStore(location);
    EXPECT_EQ(checked.damaged, "");
    EXPECT_EQ(checked.unreferenced, 0);

    loseIndexAndRepair();
    EXPECT_EQ(revisionsOf(location, notes, revisions), revisionNames({0, 5}));
    EXPECT_EQ(recordKinds(location), (std::vector<int>{1, 1, 0}));
}

// Deleting the newest version, which the one before is made against, leaves
// that one made against nothing: compressed.
TEST_F(RecordRemovalTest, RemovingTheBaseOfAChainLeavesTheRestReadable)
{
    const std::string notes = folder + "/notes.txt";
    const std::vector<std::string> revisions = history(notes, 4);
    std::string error;
    ASSERT_TRUE(deleteVersions(location, notes, {3}, false, &error)) << error;
    EXPECT_EQ(revisionsOf(location, notes, revisions), revisionNames({0, 1, 2}));
    EXPECT_EQ(recordKinds(location), (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(checkStore(location).damaged, "");

    loseIndexAndRepair();
    EXPECT_EQ(revisionsOf(location, notes, revisions), revisionNames({0, 1, 2}));
}

// A record damaged in the middle of a chain is named, once for each version
// it makes unreadable: its own and those made against it, not the one it is
// made against.
TEST_F(RecordRemovalTest, CheckNamesTheDamagedRecordAndEveryVersionItMakesUnreadable)
{
    const std::string notes = folder + "/notes.txt";
    history(notes, 4);
    const std::string damaged = recordPath(notes, 2);
    const std::string name = fs::path(damaged).filename();
    {
        const int fd = open(damaged.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "XXXX", 4, 200), 4);
        close(fd);
    }
    CheckFindings checked = checkStore(location);
    ASSERT_EQ(checked.findings.size(), 3u) << checked.damaged;
    for (const StoreFinding& finding : checked.findings) {
        EXPECT_EQ(finding.kind, StoreFinding::Kind::Corrupted);
        EXPECT_EQ(finding.path, damaged);
        EXPECT_LT(finding.index, 3u);
        if (finding.index < 2) {
            EXPECT_NE(finding.detail.find("the record " + name), std::string::npos) << finding.detail;
        }
    }

    fs::remove(damaged);
    checked = checkStore(location);
    ASSERT_EQ(checked.findings.size(), 3u) << checked.damaged;
    for (const StoreFinding& finding : checked.findings)
        EXPECT_EQ(finding.kind, StoreFinding::Kind::Missing);
}

// Another document's versions name contents the forgotten one stored first,
// and one of them is a delta against them: they are handed over, and stay
// readable, also from a rebuilt index.
TEST_F(RecordRemovalTest, ForgetHandsSharedContentsToTheDocumentThatStillNeedsThem)
{
    const std::string first = folder + "/first.txt", second = folder + "/second.txt";
    const std::vector<std::string> revisions = {revision(0), revision(1), revision(2), revision(3)};
    saveAutomatic(location, first, {revision(1), revision(3)});
    saveAutomatic(location, second, {revision(2), revision(1)});
    fs::remove(first);
    fs::remove(second);
    ASSERT_EQ(revisionsOf(location, second, revisions), revisionNames({2, 1}));
    const std::string shared = recordPath(second, 1);
    ASSERT_EQ(shared, recordPath(first, 0));

    StoreMaintenance maintenance(location);
    CheckFindings forgotten;
    maintenance.forget({first, false}, false, forgotten);
    EXPECT_EQ(forgotten.failures, "");
    EXPECT_EQ(forgotten.findings.size(), 2u);
    EXPECT_EQ(revisionsOf(location, second, revisions), revisionNames({2, 1}));
    EXPECT_FALSE(fs::exists(fs::path(shared).parent_path()));
    const CheckFindings checked = checkStore(location);
    EXPECT_EQ(checked.damaged, "");
    EXPECT_EQ(checked.unreferenced, 0);

    loseIndexAndRepair();
    EXPECT_EQ(revisionsOf(location, second, revisions), revisionNames({2, 1}));
}

} // namespace
} // namespace strataloom
