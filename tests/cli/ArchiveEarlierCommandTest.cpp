#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

using test::runCli;
using Strings = std::vector<std::string>;

class ArchiveEarlierCommand : public testing::Test {
protected:
    // Versions `contents` are kept of a copy that is then renamed over the
    // document, which leaves the document before it as an earlier history.
    void replaceByVersionedCopy(const std::string& contents)
    {
        const std::string copy = folder + "/Report (copy).txt";
        test::writeFile(copy, contents);
        ASSERT_EQ(runCli({"save-version", copy}).exitCode, 0);
        std::filesystem::rename(copy, document);
        // The store sees the replacement when the place is next listed.
        ASSERT_TRUE(store.otherVersionsOfItem(FileUrl::fromPath(document)));
    }

    std::vector<EarlierHistory> earlier()
    {
        return store.earlierHistoriesOfItem(FileUrl::fromPath(document)).value_or(std::vector<EarlierHistory>{});
    }

    FileVersionStore store;
    std::string folder = test::makeScratchFolder("documents");
    std::string document = folder + "/Report.txt";
};

// The archive of an earlier history, unarchived, gives back its versions in
// order with their dates, its last version standing as the file.
TEST_F(ArchiveEarlierCommand, TheOneEarlierHistoryIsArchivedAndComesBackWhole)
{
    test::documentWithVersions(store, folder, "Report.txt", {"one", "two", "three"}, "current");
    replaceByVersionedCopy("copy");
    const auto histories = earlier();
    ASSERT_EQ(histories.size(), 1u);

    auto result = runCli({"archive", "--earlier", document});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string archive = folder + "/Report versions";
    EXPECT_EQ(test::entriesOf(archive),
              (std::set<std::string>{"Report00000.txt", "Report00001.txt", "Report00002.txt"}));
    EXPECT_EQ(test::readFile(document), "copy");

    const std::string unarchived = folder + "/Back.txt";
    result = runCli({"unarchive", archive, unarchived});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const FileUrl back = FileUrl::fromPath(unarchived);
    auto versions = store.otherVersionsOfItem(back).value();
    versions.push_back(store.currentVersionOfItem(back).value());
    ASSERT_EQ(versions.size(), histories.front().versions.size());
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const FileVersion& was = histories.front().versions[i];
        EXPECT_EQ(test::contentsOf(versions[i]), test::contentsOf(was)) << i;
        ASSERT_TRUE(versions[i].dates() && was.dates());
        EXPECT_EQ(versions[i].dates()->modification, was.dates()->modification) << i;
    }
}

TEST_F(ArchiveEarlierCommand, SeveralEarlierHistoriesNeedTheOneToArchiveNamed)
{
    test::documentWithVersions(store, folder, "Report.txt", {"one", "two"}, "current");
    replaceByVersionedCopy("first copy");
    replaceByVersionedCopy("second copy");
    const auto histories = earlier();
    ASSERT_EQ(histories.size(), 2u);
    // The one replaced last is listed first: the first copy, of one version.
    const std::string& copyId = histories[0].documentId;
    const std::string& originalId = histories[1].documentId;
    ASSERT_EQ(histories[1].versions.size(), 2u);

    struct Case {
        Strings arguments;
        int exitCode;
        std::string message;
    };
    const std::string archive = folder + "/Chosen";
    const std::vector<Case> cases = {
        {{"archive", "--earlier", document, archive}, 2, "choose one with --history ID: " + copyId + ", " + originalId},
        {{"archive", "--history", originalId, document, archive}, 2, "give --earlier too"},
        {{"archive", "--earlier", "--history", "0123456789", document, archive}, 1, "has the id 0123456789"},
        {{"archive", "--earlier", "--history", originalId.substr(0, 4), document, archive}, 1, "has the id"},
        {{"archive", "--earlier", folder + "/Elsewhere.txt", archive}, 1, "no earlier document stood at this place"},
        // One version makes no archive, as for a file without earlier versions.
        {{"archive", "--earlier", "--history", copyId, document, archive}, 1, "No versions available."},
    };
    for (const Case& c : cases) {
        const auto result = runCli(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments[1] << ": " << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_FALSE(std::filesystem::exists(archive));
    }

    const auto result = runCli({"archive", "--earlier", "--history", originalId.substr(0, 8), document, archive});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::entriesOf(archive), (std::set<std::string>{"Report00000.txt", "Report00001.txt"}));
    EXPECT_EQ(test::readFile(archive + "/Report00000.txt"), "one");
    EXPECT_EQ(test::readFile(archive + "/Report00001.txt"), "two");
    EXPECT_EQ(readDates(archive + "/Report00001.txt"), test::historicalDates(1));
}

} // namespace
} // namespace strataloom
