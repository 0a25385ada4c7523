#include "VersionEdits.h"
#include "Nanoseconds.h"
#include "Thinning.h"
#include "VersionRemoval.h"
#include "support/RecordTestSupport.h"
#include "support/StoredContents.h"

#include <gtest/gtest.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr std::int64_t kDay = 86'400'000'000'000;

class VersionEditsTest : public testing::Test {
protected:
    void SetUp() override
    {
        // Four automatic versions: two days on, the schedule keeps the first
        // and last of that day and lets "a2" and "a3" go.
        saveAutomatic(location, notes, {"a1", "a2", "a3", "a4"});
        writeFile(notes, "now");
    }

    std::vector<FileVersion> versions()
    {
        return FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(notes)).value();
    }

    std::vector<std::string> listed()
    {
        std::vector<std::string> contents;
        for (const FileVersion& version : versions())
            contents.push_back(contentsOf(version) + (version.isPinned() ? " (pinned)" : ""));
        return contents;
    }

    std::optional<ThinningResult> thin(std::function<void()> beforeRemoving = {})
    {
        ThinningOptions options;
        options.nowNs = nowNs() + 2 * kDay;
        options.beforeRemoving = std::move(beforeRemoving);
        std::string error;
        auto result = thinStore(location, options, &error);
        EXPECT_TRUE(result) << error;
        return result;
    }

    std::string problems(bool repair = false) { return checkStore(location, repair).damaged; }

    std::string location = makeScratchFolder("store") + "/strataloom";
    std::string notes = makeScratchFolder("documents") + "/Notes.txt";
};

// The pass has chosen "a2" when the user pins it: it stays, pinned, with its
// contents, and a rebuild from the logs keeps it too.
TEST_F(VersionEditsTest, AVersionPinnedWhileAPassRunsIsNeverRemoved)
{
    std::string pinError;
    const auto result = thin([&] { EXPECT_TRUE(setVersionsPinned(location, notes, {1}, true, &pinError)); });
    ASSERT_TRUE(result);
    EXPECT_EQ(pinError, "");
    EXPECT_EQ(result->removed, 1u);
    EXPECT_EQ(result->decisions[1].retention, Retention::Changed);
    EXPECT_EQ(result->decisions[2].retention, Retention::Thinned);
    EXPECT_EQ(listed(), (std::vector<std::string>{"a1", "a2 (pinned)", "a4"}));
    EXPECT_TRUE(versions()[1].hasLocalContents());
    EXPECT_EQ(problems(), "");

    fs::remove(location + "/index.sqlite");
    problems(true);
    EXPECT_EQ(listed(), (std::vector<std::string>{"a1", "a2 (pinned)", "a4"}));
}

// A pin, unpin or removal that finds its version gone or already so changes
// nothing and says so.
TEST_F(VersionEditsTest, EditsThatChangeNothingFailAndSayWhy)
{
    const FileVersion a2 = versions()[1];
    std::string error;
    ASSERT_TRUE(setVersionsPinned(location, notes, {0}, true, &error)) << error;
    EXPECT_FALSE(setVersionsPinned(location, notes, {0}, true, &error));
    EXPECT_NE(error.find("nothing changed: version 0 of " + notes + " is pinned already"), std::string::npos) << error;
    // One changed, one already so: done.
    EXPECT_TRUE(setVersionsPinned(location, notes, {0, 3}, true, &error)) << error;
    ASSERT_TRUE(setVersionsPinned(location, notes, {0, 3}, false, &error)) << error;

    ASSERT_TRUE(thin());
    ASSERT_EQ(listed(), (std::vector<std::string>{"a1", "a4"}));
    // Chosen before the pass, acted on after it: the row is gone.
    store::StoreIndex index{store::StoreLayout(location)};
    const std::vector<store::VersionRef> stale = {{a2.storedAt()->documentId, a2.storedAt()->file}};
    std::vector<bool> changed;
    ASSERT_TRUE(store::setPinned(index, stale, true, &changed, &error)) << error;
    EXPECT_EQ(changed, std::vector<bool>{false});
    ASSERT_TRUE(store::removeVersions(index, stale, &changed, &error)) << error;
    EXPECT_EQ(changed, std::vector<bool>{false});
    EXPECT_EQ(listed(), (std::vector<std::string>{"a1", "a4"}));
    EXPECT_EQ(problems(), "");
}

// The user lists the versions; a pass renumbers them; the id still names the
// version seen, and a number whose contents changed is refused.
TEST_F(VersionEditsTest, RenumberingBetweenListingAndDeletingNeverRemovesAnotherVersion)
{
    const std::vector<FileVersion> seen = versions();
    const std::string a3Id = versionId(seen[2]);
    const std::string a3Checksum = seen[2].fingerprint()->checksum;
    ASSERT_TRUE(setVersionsPinned(location, notes, {VersionChoice::byId(versionId(seen[2]).substr(0, 12))}, true));
    ASSERT_TRUE(thin());
    ASSERT_EQ(listed(), (std::vector<std::string>{"a1", "a3 (pinned)", "a4"}));

    std::string error;
    VersionChoice byNumber(2);
    byNumber.expectedChecksum = a3Checksum;
    EXPECT_FALSE(deleteVersions(location, notes, {byNumber}, false, &error));
    EXPECT_NE(error.find("version 2 of " + notes + " holds other contents than expected"), std::string::npos) << error;
    EXPECT_EQ(listed().size(), 3u);

    const auto removed = deleteVersions(location, notes, {VersionChoice::byId(a3Id.substr(0, 8))}, false, &error);
    ASSERT_TRUE(removed) << error;
    EXPECT_EQ(versionId(removed->at(0)), a3Id);
    EXPECT_EQ(listed(), (std::vector<std::string>{"a1", "a4"}));
}

} // namespace
} // namespace strataloom
