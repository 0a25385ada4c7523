#include "FileVersionStore.h"
#include "StoreMaintenance.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;
using Strings = std::vector<std::string>;

class EarlierHistoryTest : public testing::Test {
protected:
    FileUrl saved(const std::string& name, const Strings& contents)
    {
        const FileUrl document = FileUrl::fromPath(folder + "/" + name);
        for (const std::string& text : contents) {
            writeFile(document.path(), text);
            std::string error;
            EXPECT_TRUE(store.saveVersionOfItem(document, &error)) << error;
        }
        return document;
    }

    Strings contentsOf(const std::vector<FileVersion>& versions)
    {
        Strings contents;
        for (const FileVersion& version : versions)
            contents.push_back(test::contentsOf(version));
        return contents;
    }
    Strings history(const FileUrl& document) { return contentsOf(store.otherVersionsOfItem(document).value()); }

    std::vector<EarlierHistory> earlier(const FileUrl& document)
    {
        return store.earlierHistoriesOfItem(document).value_or(std::vector<EarlierHistory>{});
    }

    FileVersionStore store;
    std::string folder = makeScratchFolder("documents");
};

// Another document moved over a document's file takes its place; the one it
// replaced stays reachable from there, as an earlier history, with its last
// path and who replaced it, and so does each one replaced before it.
TEST_F(EarlierHistoryTest, ADocumentMovedOverAnotherLeavesTheOtherAsAnEarlierHistoryOfThePlace)
{
    const FileUrl report = saved("Report.txt", {"r1", "r2"});
    const FileUrl draft = saved("Draft.txt", {"d1"});
    fs::rename(draft.path(), report.path());
    EXPECT_EQ(history(report), (Strings{"d1"}));
    auto histories = earlier(report);
    ASSERT_EQ(histories.size(), 1u);
    EXPECT_EQ(contentsOf(histories[0].versions), (Strings{"r1", "r2"}));
    EXPECT_EQ(histories[0].lastPath, report.path());
    EXPECT_GT(histories[0].replaced.seconds, 0);

    StoreMaintenance maintenance(store.location());
    const auto documents = maintenance.documents().value();
    ASSERT_EQ(documents.size(), 2u);
    const StoredDocument& replaced = documents[0].replacedBy ? documents[0] : documents[1];
    const StoredDocument& current = documents[0].replacedBy ? documents[1] : documents[0];
    EXPECT_EQ(replaced.id, histories[0].documentId);
    EXPECT_EQ(*replaced.replacedBy, current.id);
    EXPECT_EQ(replaced.path, report.path());
    EXPECT_FALSE(replaced.found);
    EXPECT_TRUE(current.found && !current.replacedBy);
    EXPECT_EQ(histories[0].replacedBy, current.id);

    const FileUrl notes = saved("Notes.txt", {"n1"});
    fs::rename(notes.path(), report.path());
    ASSERT_TRUE(store.saveVersionOfItem(report));
    histories = earlier(report);
    ASSERT_EQ(histories.size(), 2u);
    EXPECT_EQ(contentsOf(histories[0].versions), (Strings{"d1"}));
    EXPECT_EQ(contentsOf(histories[1].versions), (Strings{"r1", "r2"}));
    EXPECT_EQ(history(report), (Strings{"n1", "n1"}));

    // Moved away again, a document is no longer an earlier history there.
    const std::string elsewhere = folder + "/Elsewhere.txt";
    fs::rename(report.path(), elsewhere);
    EXPECT_EQ(history(FileUrl::fromPath(elsewhere)), (Strings{"n1", "n1"}));
    EXPECT_EQ(earlier(report).size(), 2u);
    EXPECT_TRUE(earlier(FileUrl::fromPath(elsewhere)).empty());
}

} // namespace
} // namespace strataloom
