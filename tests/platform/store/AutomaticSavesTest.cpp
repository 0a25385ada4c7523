#include "AutomaticSaves.h"
#include "FileAttributes.h"
#include "FileVersionStore.h"
#include "Sqlite.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;
using Outcome = AutomaticSaves::Outcome;

struct Listed {
    std::string contents;
    bool automatic = false;
    bool operator==(const Listed&) const = default;
};

std::vector<Listed> listed(const std::string& document)
{
    const auto versions = FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(document));
    EXPECT_TRUE(versions) << document;
    std::vector<Listed> result;
    for (const FileVersion& version : versions.value_or(std::vector<FileVersion>{}))
        result.push_back({contentsOf(version), version.isAutomatic()});
    return result;
}

class AutomaticSavesTest : public testing::Test {
protected:
    // Saves `contents` into `path` as an editor would, then has it staged and committed.
    Outcome save(const std::string& path, const std::string& contents)
    {
        writeFile(path, contents);
        return stageAndCommit(path);
    }

    Outcome stageAndCommit(const std::string& path)
    {
        std::string error;
        const Outcome outcome = saves.stage(path, &error);
        EXPECT_NE(outcome, Outcome::Failed) << error;
        EXPECT_TRUE(saves.commit(nullptr, &error)) << error;
        return outcome;
    }

    std::string folder = makeScratchFolder("documents");
    AutomaticSaves saves{FileVersionStore::defaultLocation()};
};

// The newest automatic version is the current contents kept for the next
// save: listed only once the document has moved on from it.
TEST_F(AutomaticSavesTest, TheNewestAutomaticVersionIsListedOnlyOnceTheDocumentChanges)
{
    const std::string notes = folder + "/Notes.txt";
    EXPECT_EQ(save(notes, "one"), Outcome::Staged);
    EXPECT_EQ(listed(notes), std::vector<Listed>{});
    EXPECT_EQ(save(notes, "two"), Outcome::Staged);
    EXPECT_EQ(listed(notes), (std::vector<Listed>{{"one", true}}));

    // Changed without a save reaching the watcher (yet): both are previous versions.
    writeFile(notes, "three");
    EXPECT_EQ(listed(notes), (std::vector<Listed>{{"one", true}, {"two", true}}));

    // An explicit version is always listed, even when it equals the file.
    ASSERT_TRUE(FileVersionStore().saveVersionOfItem(FileUrl::fromPath(notes)));
    EXPECT_EQ(listed(notes), (std::vector<Listed>{{"one", true}, {"two", true}, {"three", false}}));
}

TEST_F(AutomaticSavesTest, ASaveThatBringsNoNewContentsAddsNothing)
{
    const std::string notes = folder + "/Notes.txt";
    ASSERT_EQ(save(notes, "same"), Outcome::Staged);
    // Touched, rewritten with the same bytes, replaced by a copy, renamed.
    ASSERT_TRUE(setDates(notes, {{1, 0}, {2, 0}}));
    EXPECT_EQ(stageAndCommit(notes), Outcome::Unchanged);
    EXPECT_EQ(save(notes, "same"), Outcome::Unchanged);
    writeFile(folder + "/.Notes.txt.tmp", "same");
    fs::rename(folder + "/.Notes.txt.tmp", notes);
    EXPECT_EQ(stageAndCommit(notes), Outcome::Unchanged);
    const std::string renamed = folder + "/Renamed notes.txt";
    fs::rename(notes, renamed);
    EXPECT_EQ(stageAndCommit(renamed), Outcome::Unchanged);

    // Same size, other bytes: a new version, under the document it was.
    EXPECT_EQ(save(renamed, "SAME"), Outcome::Staged);
    EXPECT_EQ(listed(renamed), (std::vector<Listed>{{"same", true}}));
}

// Unchanged means the same contents: a save that keeps the size and puts the
// modification time back (touch -r, cp -p, rsync -t, coarse time stamps) is new.
TEST_F(AutomaticSavesTest, ASaveKeepingSizeAndModificationTimeIsStillNew)
{
    const std::string notes = folder + "/Notes.txt";
    ASSERT_EQ(save(notes, "draft AAAA"), Outcome::Staged);
    const FileDates dates = readDates(notes).value();
    const auto rewrite = [&](const std::string& contents) {
        writeFile(notes, contents);
        ASSERT_TRUE(setDates(notes, dates));
    };
    rewrite("final BBBB");
    // Listing does not take the file for the draft it no longer holds.
    EXPECT_EQ(listed(notes), (std::vector<Listed>{{"draft AAAA", true}}));
    EXPECT_EQ(stageAndCommit(notes), Outcome::Staged);
    EXPECT_EQ(listed(notes), (std::vector<Listed>{{"draft AAAA", true}}));

    // Saved while the watcher was stopped: its scan at start looks too.
    rewrite("draft CCCC");
    saves.beginScan();
    EXPECT_EQ(saves.stage(notes), Outcome::Staged);
    saves.endScan();
    std::string error;
    ASSERT_TRUE(saves.commit(nullptr, &error)) << error;
    EXPECT_EQ(listed(notes), (std::vector<Listed>{{"draft AAAA", true}, {"final BBBB", true}}));

    // Once the file was seen holding its newest version long enough after its
    // last write, that state alone tells it untouched; any write changes it.
    struct stat status {};
    ASSERT_EQ(stat(notes.c_str(), &status), 0);
    {
        SqliteDatabase index(FileVersionStore::defaultLocation() + "/index.sqlite", SQLITE_OPEN_READWRITE);
        SqliteStatement seen(index.handle(), "UPDATE versions SET seen_modification_ns = ?, "
                                             "seen_change_time_ns = ?, checksum = zeroblob(16) "
                                             "WHERE position = (SELECT MAX(position) FROM versions)");
        ASSERT_TRUE(seen.bind(1, status.st_mtim.tv_sec * 1'000'000'000 + status.st_mtim.tv_nsec)
                        .bind(2, status.st_ctim.tv_sec * 1'000'000'000 + status.st_ctim.tv_nsec)
                        .run());
    }
    EXPECT_EQ(stageAndCommit(notes), Outcome::Unchanged);
    // A scan passes over it by its lstat alone, until it is written again.
    const auto passedOverByScan = [&] {
        struct stat now {};
        saves.beginScan();
        const bool unchanged = lstat(notes.c_str(), &now) == 0 && saves.seenUnchanged(notes, now);
        saves.endScan();
        return unchanged;
    };
    EXPECT_TRUE(passedOverByScan());
    rewrite("draft CCCC");
    EXPECT_FALSE(passedOverByScan());
    EXPECT_EQ(stageAndCommit(notes), Outcome::Staged);
}

// A scan knows an unchanged file by its path, size and date, and still looks
// at any file that differs in one of them.
TEST_F(AutomaticSavesTest, AScanOfManyDocumentsCommitsThemTogetherAndSkipsTheUnchanged)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 20; ++i) {
        paths.push_back(folder + "/file " + std::to_string(i));
        writeFile(paths.back(), "contents " + std::to_string(i));
        EXPECT_EQ(saves.stage(paths.back()), Outcome::Staged);
    }
    // A second save of one document in the same batch is a second version,
    // unless it brought nothing new.
    writeFile(paths[0], "contents 0, edited");
    EXPECT_EQ(saves.stage(paths[0]), Outcome::Staged);
    ASSERT_TRUE(setDates(paths[0], {{1, 0}, {2, 0}}));
    EXPECT_EQ(saves.stage(paths[0]), Outcome::Unchanged);
    std::vector<std::string> saved;
    std::string error;
    ASSERT_TRUE(saves.commit(&saved, &error)) << error;
    EXPECT_EQ(saved.size(), 20u);
    EXPECT_EQ(listed(paths[0]), (std::vector<Listed>{{"contents 0", true}}));

    writeFile(paths[1], "contents 1, edited while the watcher was stopped");
    ASSERT_TRUE(setDates(paths[2], {{1, 0}, {2, 0}}));
    saves.beginScan();
    for (const std::string& path : paths)
        EXPECT_EQ(saves.stage(path), path == paths[1] ? Outcome::Staged : Outcome::Unchanged) << path;
    saves.endScan();
    ASSERT_TRUE(saves.commit(nullptr, &error)) << error;
    EXPECT_EQ(listed(paths[1]), (std::vector<Listed>{{"contents 1", true}}));
}

TEST_F(AutomaticSavesTest, ARebuiltIndexKeepsWhichVersionsWereAutomatic)
{
    const std::string notes = folder + "/Notes.txt";
    ASSERT_EQ(save(notes, "automatic"), Outcome::Staged);
    writeFile(notes, "asked for");
    ASSERT_TRUE(FileVersionStore().saveVersionOfItem(FileUrl::fromPath(notes)));
    writeFile(notes, "current");
    fs::remove(FileVersionStore::defaultLocation() + "/index.sqlite");

    EXPECT_EQ(checkStore(FileVersionStore::defaultLocation(), true).failures, "");
    EXPECT_EQ(listed(notes), (std::vector<Listed>{{"automatic", true}, {"asked for", false}}));
}

TEST_F(AutomaticSavesTest, WhatIsNotARegularFileIsRefusedWithAReason)
{
    std::string error;
    EXPECT_EQ(saves.stage(folder, &error), Outcome::Failed);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(saves.stage(folder + "/gone", &error), Outcome::Failed);
    EXPECT_NE(error.find("gone"), std::string::npos) << error;
    EXPECT_EQ(saves.stagedCount(), 0u);
}

} // namespace
} // namespace strataloom
