#include "IndexRebuild.h"
#include "DocumentLog.h"
#include "support/ArchiveTestSupport.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace store;

// What listing shows of a document: each version's contents and both dates.
std::vector<std::string> listing(FileVersionStore& store, const FileUrl& document)
{
    std::vector<std::string> lines;
    const auto versions = store.otherVersionsOfItem(document);
    for (const FileVersion& version : versions.value())
        lines.push_back(test::contentsOf(version) + " " + version.dates()->modification.toIso8601() + " "
                        + version.dates()->creation.toIso8601());
    return lines;
}

class IndexRebuildTest : public testing::Test {
protected:
    RebuildResult rebuild()
    {
        RebuildResult result;
        EXPECT_TRUE(rebuildIndex(StoreLayout(location), result,
                                 [&](const std::string& message) { failures.push_back(message); }));
        return result;
    }

    std::string location = FileVersionStore::defaultLocation();
    std::string documents = test::makeScratchFolder("documents");
    std::vector<std::string> failures;
};

TEST_F(IndexRebuildTest, ALostIndexComesBackWithEveryVersionInOrderWithItsDatesAndDocumentsWhereTheyMoved)
{
    FileVersionStore store;
    const FileUrl notes = test::documentWithVersions(store, documents, "Notes.txt", {"n0", "n1", "n2"}, "n");
    const FileUrl moved = test::documentWithVersions(store, documents, "Moved.txt", {"m0", "m1"}, "m");
    const FileUrl renamed = FileUrl::fromPath(documents + "/Renamed \xff.txt");
    fs::rename(moved.path(), renamed.path());
    ASSERT_TRUE(store.saveVersionOfItem(renamed));
    const auto notesBefore = listing(store, notes);
    const auto renamedBefore = listing(store, renamed);

    test::loseIndex(location);
    const RebuildResult result = rebuild();
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(result.documents, 2u);
    EXPECT_EQ(result.versions, 6u);
    EXPECT_EQ(result.unloggedVersions, 0u);
    FileVersionStore reopened;
    EXPECT_EQ(listing(reopened, notes), notesBefore);
    EXPECT_EQ(listing(reopened, renamed), renamedBefore);
    // Adding goes on at the next positions.
    ASSERT_TRUE(reopened.saveVersionOfItem(notes));
    EXPECT_EQ(listing(reopened, notes).size(), 4u);
}

TEST_F(IndexRebuildTest, ADamagedIndexIsSetAsideAndWhatNoLogRecordsIsPlacedByDateOrLeftOut)
{
    FileVersionStore store;
    const FileUrl notes = test::documentWithVersions(store, documents, "Notes.txt", {"n0", "n1"}, "n");
    // Whole files, as every version of such a release was.
    const FileUrl old =
        test::documentWithVersions(store, documents, "Old.txt",
                                   {test::unpackable("o0"), test::unpackable("o1"), test::unpackable("o2")}, "o");
    const std::string leftover = fs::path(test::storedPath(store, notes, 0)).parent_path() / std::string(32, 'a');
    fs::create_directories(fs::path(leftover).parent_path());
    test::writeFile(leftover, "an add that died before it was logged");
    // A document stored by a release that kept no log.
    fs::remove(fs::path(test::storedPath(store, old, 0)).parent_path().string() + ".log");
    const auto oldBefore = listing(store, old);

    test::loseIndex(location);
    test::writeFile(location + "/index.sqlite", "not a database at all");
    const RebuildResult result = rebuild();
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(result.unloggedVersions, 3u);
    EXPECT_EQ(test::readFile(result.setAside), "not a database at all");
    FileVersionStore reopened;
    EXPECT_EQ(listing(reopened, notes).size(), 2u);
    EXPECT_EQ(listing(reopened, old), oldBefore);
}

// Forget marks the log before it removes anything: cut short, it leaves
// nothing a rebuild would bring back.
TEST_F(IndexRebuildTest, ADocumentBeingForgottenIsNotBroughtBack)
{
    FileVersionStore store;
    const FileUrl notes = test::documentWithVersions(store, documents, "Notes.txt", {"n0", "n1"}, "n");
    const FileUrl other = test::documentWithVersions(store, documents, "Other.txt", {"o0"}, "o");
    {
        const fs::path folder = fs::path(test::storedPath(store, notes, 0)).parent_path();
        UniqueFd documents(open(folder.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        auto log = DocumentLog::open(documents.get(), folder.filename().string());
        ASSERT_TRUE(log);
        log->recordForgotten();
        ASSERT_TRUE(log->write());
    }
    test::loseIndex(location);
    EXPECT_EQ(rebuild().documents, 1u);
    FileVersionStore reopened;
    EXPECT_TRUE(reopened.otherVersionsOfItem(notes)->empty());
    EXPECT_EQ(listing(reopened, other).size(), 1u);
}

} // namespace
} // namespace strataloom
