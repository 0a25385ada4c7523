#include "Thinning.h"
#include "Nanoseconds.h"
#include "VersionEdits.h"
#include "support/RecordTestSupport.h"
#include "support/StoredContents.h"

#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr std::int64_t kDay = 86'400'000'000'000;

class ThinningTest : public testing::Test {
protected:
    void save(const std::string& path, const std::string& contents) { saveAutomatic(location, path, {contents}); }

    // The bytes the document's listed version `index` takes on disk: its
    // stored file's blocks, or its packed record's length.
    std::uint64_t onDisk(const std::string& document, std::size_t index)
    {
        const auto versions = FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(document));
        const FileVersion& version = versions.value().at(index);
        struct stat status {};
        if (stat(version.URL().path().c_str(), &status) != 0) {
            EXPECT_EQ(version.storedAt()->recordKind, static_cast<int>(store::RecordKind::Compressed));
            return version.storedAt()->storedBytes;
        }
        return static_cast<std::uint64_t>(status.st_blocks) * 512;
    }

    std::vector<std::string> listed(const std::string& document)
    {
        const auto versions = FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(document));
        EXPECT_TRUE(versions) << document;
        std::vector<std::string> contents;
        for (const FileVersion& version : versions.value_or(std::vector<FileVersion>{}))
            contents.push_back(contentsOf(version) + (version.isPinned() ? " (pinned)" : ""));
        return contents;
    }

    CheckFindings check(bool repair = false) { return checkStore(location, repair); }

    ThinningResult thin(std::int64_t now, bool dryRun = false, std::optional<std::uint64_t> maxBytes = std::nullopt)
    {
        ThinningOptions options;
        options.nowNs = now;
        options.dryRun = dryRun;
        options.maxBytes = maxBytes;
        std::string error;
        auto result = thinStore(location, options, &error);
        EXPECT_TRUE(result) << error;
        return result.value_or(ThinningResult{});
    }

    std::string location = makeScratchFolder("store") + "/strataloom";
    std::string folder = makeScratchFolder("documents");
};

// Two days on, one day's saves thin to its first and last; an explicit and a
// pinned version stay; the removals survive a rebuilt index.
TEST_F(ThinningTest, ThinningRemovesWhatTheScheduleLetsGoAndNothingElse)
{
    const std::string notes = folder + "/Notes.txt";
    saveAutomatic(location, notes, {"a1", "a2"});
    writeFile(notes, "asked for");
    ASSERT_TRUE(FileVersionStore(location).saveVersionOfItem(FileUrl::fromPath(notes)));
    saveAutomatic(location, notes, {"a3", "a4", "a5", "current"});
    std::string error;
    ASSERT_TRUE(setVersionsPinned(location, notes, {3}, true, &error)) << error;
    ASSERT_EQ(listed(notes), (std::vector<std::string>{"a1", "a2", "asked for", "a3 (pinned)", "a4", "a5"}));

    const ThinningResult preview = thin(nowNs() + 2 * kDay, true);
    EXPECT_EQ(preview.removed, 3u);
    EXPECT_EQ(preview.bytesFreed, 6u);
    EXPECT_EQ(listed(notes).size(), 6u);

    const ThinningResult result = thin(nowNs() + 2 * kDay);
    EXPECT_EQ(result.removed, 3u);
    EXPECT_EQ(listed(notes), (std::vector<std::string>{"a1", "asked for", "a3 (pinned)"}));
    CheckFindings findings = check();
    EXPECT_EQ(findings.damaged, "");
    EXPECT_EQ(findings.unreferenced, 0);

    fs::remove(location + "/index.sqlite");
    findings = check(true);
    EXPECT_EQ(listed(notes), (std::vector<std::string>{"a1", "asked for", "a3 (pinned)"}));
}

TEST_F(ThinningTest, TheSizeCapAndTheUsersOwnDeletionsRemoveVersionsTheScheduleKeeps)
{
    const std::string first = folder + "/First.txt";
    const std::string second = folder + "/Second.txt";
    for (const char* contents : {"1111", "2222", "3333"}) {
        save(first, contents);
        save(second, std::string(contents) + "!");
    }
    writeFile(first, "now");
    writeFile(second, "now");
    // The watcher's pass over the documents it just saved leaves the cap,
    // which weighs every document, to a whole pass; with none saved, it
    // thins nothing at all.
    ThinningOptions justSaved;
    justSaved.nowNs = nowNs();
    justSaved.maxBytes = 0;
    ASSERT_EQ(thinDocuments(location, justSaved, {first}).value().removed, 0u);
    ASSERT_EQ(thinDocuments(location, justSaved, {}).value().removed, 0u);

    // Six versions of a few bytes, packed, taking about the same; the cap
    // leaves room for what four take. The watcher's pass, which keeps only
    // its counts, removes what a listing pass lists.
    std::uint64_t largest = 0;
    for (const std::string& document : {first, second})
        for (std::size_t i = 0; i < 3; ++i)
            largest = std::max(largest, onDisk(document, i));
    const std::uint64_t cap = 4 * largest;
    const ThinningResult listing = thin(nowNs(), true, cap);
    EXPECT_EQ(listing.decisions.size(), 6u);
    ThinningOptions countsOnly;
    countsOnly.nowNs = nowNs();
    countsOnly.maxBytes = cap;
    countsOnly.keepDecisions = false;
    const ThinningResult result = thinStore(location, countsOnly).value();
    EXPECT_TRUE(result.decisions.empty() && result.documents.empty());
    EXPECT_EQ(result.removed, listing.removed);
    EXPECT_EQ(result.removed, 2u);
    EXPECT_EQ(listed(first), (std::vector<std::string>{"2222", "3333"}));
    EXPECT_EQ(listed(second), (std::vector<std::string>{"2222!", "3333!"}));

    std::string error;
    EXPECT_FALSE(deleteVersions(location, first, {2}, false, &error));
    EXPECT_NE(error.find("not a stored version"), std::string::npos) << error;
    const auto removed = deleteVersions(location, first, {1, 0}, false, &error);
    ASSERT_TRUE(removed) << error;
    EXPECT_EQ(removed->size(), 2u);
    EXPECT_EQ(listed(first), std::vector<std::string>{});
    EXPECT_EQ(check().damaged, "");
}

// Killed at any moment, thinning leaves every listed version whole: at worst
// unreferenced files, which prune takes, and a second pass finishes the work.
TEST_F(ThinningTest, AThinningPassKilledPartWayLeavesEveryListedVersionWhole)
{
    std::vector<std::string> documents;
    for (int d = 0; d < 30; ++d) {
        documents.push_back(folder + "/document " + std::to_string(d));
        AutomaticSaves saves(location);
        for (int v = 0; v < 12; ++v) {
            writeFile(documents.back(), "version " + std::to_string(v));
            ASSERT_EQ(saves.stage(documents.back()), AutomaticSaves::Outcome::Staged);
            ASSERT_TRUE(saves.commit());
        }
    }
    for (const int delayMicroseconds : {2'000, 8'000, 20'000}) {
        const pid_t child = fork();
        if (child == 0) {
            ThinningOptions options;
            options.nowNs = nowNs() + 3 * kDay;
            options.maxBytes = 0;
            _exit(thinStore(location, options) ? 0 : 1);
        }
        usleep(delayMicroseconds);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(check().damaged, "") << "killed after " << delayMicroseconds << " µs";
    }
    thin(nowNs() + 3 * kDay, false, 0);
    // The cap leaves each document its newest version alone.
    for (const std::string& document : documents) {
        writeFile(document, "edited since");
        EXPECT_EQ(listed(document), (std::vector<std::string>{"version 11"})) << document;
    }
}

// Versions being added while a pass runs are not in its snapshot: none is
// ever removed or left without its file.
TEST_F(ThinningTest, ThinningNeverTouchesAVersionBeingAdded)
{
    const std::string notes = folder + "/Notes.txt";
    save(notes, "first");
    const pid_t child = fork();
    if (child == 0) {
        AutomaticSaves saves(location);
        for (int v = 0; v < 150; ++v) {
            writeFile(notes, "version " + std::to_string(v));
            if (saves.stage(notes) != AutomaticSaves::Outcome::Staged || !saves.commit())
                _exit(1);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0)
        thin(nowNs() + 2 * kDay);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(check().damaged, "");
    writeFile(notes, "after");
    const auto kept = listed(notes);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back(), "version 149");
}

// Versions stamped with the clock 30 days ahead, then two with it right, the
// document deleted, a cap that leaves room for nothing removable: what stays
// is the document's last contents.
TEST_F(ThinningTest, AfterAClockJumpTheSizeCapKeepsTheLastContents)
{
    const std::string notes = folder + "/Notes.txt";
    saveAutomatic(location, notes, {"ahead 1", "ahead 2", "right 1", "right 2"});
    alterIndex(location, "UPDATE versions SET added_ns = added_ns + 30 * 86400000000000 WHERE position < 2");
    fs::remove(notes);

    const ThinningResult result = thin(nowNs(), false, 0);
    EXPECT_EQ(result.removed, 3u);
    EXPECT_EQ(listed(notes), std::vector<std::string>{"right 2"});
}

// A sparse stored file counts the blocks it holds, not its length: a version
// of 64 MiB that takes a few KiB leaves the store well under a 1 MiB cap.
TEST_F(ThinningTest, TheSizeCapCountsTheSpaceStoredFilesTakeOnDisk)
{
    const std::string notes = folder + "/Notes.txt";
    save(notes, "small");
    writeFile(notes, "head");
    fs::resize_file(notes, 64 << 20);
    AutomaticSaves saves(location);
    ASSERT_EQ(saves.stage(notes), AutomaticSaves::Outcome::Staged);
    ASSERT_TRUE(saves.commit());
    save(notes, "small again");
    writeFile(notes, "now");
    // Holes punched in the stored copy hold the zeros it held.
    const auto versions = FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(notes)).value();
    ASSERT_EQ(versions.at(1).size(), std::optional<std::uint64_t>(64 << 20));
    const int stored = open(versions.at(1).URL().path().c_str(), O_WRONLY);
    ASSERT_GE(stored, 0);
    ASSERT_EQ(fallocate(stored, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, (64 << 20) - 4096), 0);
    close(stored);
    ASSERT_LT(onDisk(notes, 1), 64u << 10);

    EXPECT_EQ(thin(nowNs(), false, 1 << 20).removed, 0u);
    EXPECT_EQ(listed(notes).size(), 3u);
    // Past the cap, the small versions go too; the last one stays.
    EXPECT_EQ(thin(nowNs(), false, onDisk(notes, 1)).removed, 2u);
    EXPECT_EQ(listed(notes), std::vector<std::string>{"small again"});
}

} // namespace
} // namespace strataloom
