#include "InPlaceRestore.h"
#include "FileVersionStore.h"
#include "support/ArchiveTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include <sys/stat.h>
#include <sys/xattr.h>

using namespace strataloom;
using namespace strataloom::test;

namespace {

std::string idOf(const std::string& path)
{
    char id[64];
    const ssize_t length = getxattr(path.c_str(), "user.strataloom.id", id, sizeof id);
    return length < 0 ? std::string() : std::string(id, static_cast<std::size_t>(length));
}

class InPlaceRestoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        store = std::make_unique<FileVersionStore>(makeScratchFolder("store") + "/strataloom");
        folder = makeScratchFolder("documents");
    }

    std::vector<std::string> history(const FileUrl& document)
    {
        const std::vector<FileVersion> versions =
            store->otherVersionsOfItem(document).value_or(std::vector<FileVersion>{});
        std::vector<std::string> contents;
        for (const FileVersion& version : versions)
            contents.push_back(contentsOf(version));
        return contents;
    }

    std::optional<InPlaceRestore> restore(const FileUrl& document, std::size_t index, bool dryRun = false)
    {
        error.clear();
        return restoreVersionInPlace(*store, document, store->otherVersionsOfItem(document).value().at(index), dryRun,
                                     &error);
    }

    std::unique_ptr<FileVersionStore> store;
    std::string folder;
    std::string error;
};

using Strings = std::vector<std::string>;

TEST_F(InPlaceRestoreTest, KeepsTheContentsBeforeAndTheDocumentsIdentityDatesAndMode)
{
    const FileUrl document = documentWithVersions(*store, folder, "Report.txt", {"one", "two"}, "three");
    ASSERT_TRUE(store->saveVersionOfItem(document));
    writeFile(document.path(), "unsaved four");
    ASSERT_EQ(chmod(document.path().c_str(), 0640), 0);
    const std::string id = idOf(document.path());
    ASSERT_FALSE(id.empty());
    const auto creation = readDates(document.path())->creation;
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);

    const auto outcome = restore(document, 0);
    ASSERT_TRUE(outcome) << error;
    EXPECT_FALSE(outcome->unchanged);
    EXPECT_TRUE(outcome->keptCurrent);
    EXPECT_EQ(readFile(document.path()), "one");
    EXPECT_EQ(history(document), (Strings{"one", "two", "three", "unsaved four", "one"}));
    // Still the same document, as the store and the user know it.
    EXPECT_EQ(idOf(document.path()), id);
    EXPECT_EQ(readDates(document.path())->creation, creation);
    struct stat status {};
    ASSERT_EQ(stat(document.path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_GE(std::chrono::system_clock::from_time_t(status.st_mtime), before);
    EXPECT_EQ(entriesOf(folder), (std::set<std::string>{"Report.txt"}));
}

TEST_F(InPlaceRestoreTest, ADryRunOrAVersionTheDocumentHoldsChangesNothing)
{
    const FileUrl document = documentWithVersions(*store, folder, "Notes.txt", {"one", "two"}, "two");
    struct stat was {};
    ASSERT_EQ(stat(document.path().c_str(), &was), 0);

    auto outcome = restore(document, 0, true);
    ASSERT_TRUE(outcome) << error;
    EXPECT_FALSE(outcome->keptCurrent); // "two" is the newest version already
    outcome = restore(document, 1, true);
    ASSERT_TRUE(outcome) << error;
    EXPECT_TRUE(outcome->unchanged);
    outcome = restore(document, 1);
    ASSERT_TRUE(outcome) << error;
    EXPECT_TRUE(outcome->unchanged);

    struct stat is {};
    ASSERT_EQ(stat(document.path().c_str(), &is), 0);
    EXPECT_EQ(is.st_ino, was.st_ino);
    EXPECT_EQ(is.st_mtim.tv_nsec, was.st_mtim.tv_nsec);
    EXPECT_EQ(history(document), (Strings{"one", "two"}));
}

TEST_F(InPlaceRestoreTest, NeverWritesThroughALinkAtTheDocumentsName)
{
    const FileUrl document = documentWithVersions(*store, folder, "Plan.txt", {"one"}, "two");
    const auto version = store->otherVersionsOfItem(document).value().at(0);
    const std::string elsewhere = makeScratchFolder("elsewhere") + "/target";
    writeFile(elsewhere, "someone else's");
    std::filesystem::remove(document.path());
    std::filesystem::create_symlink(elsewhere, document.path());

    EXPECT_FALSE(restoreVersionInPlace(*store, document, version, false, &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_EQ(readFile(elsewhere), "someone else's");
    EXPECT_TRUE(std::filesystem::is_symlink(document.path()));
}

TEST_F(InPlaceRestoreTest, AVersionWhoseStoredContentsAreDamagedIsNotRestored)
{
    const FileUrl document = documentWithVersions(*store, folder, "Budget.txt", {"one"}, "two");
    corruptVersion(*store, document, 0);
    EXPECT_FALSE(restore(document, 0));
    EXPECT_NE(error.find("missing or damaged"), std::string::npos) << error;
    EXPECT_EQ(readFile(document.path()), "two");
    EXPECT_EQ(store->otherVersionsOfItem(document)->size(), 1u);
}

} // namespace
