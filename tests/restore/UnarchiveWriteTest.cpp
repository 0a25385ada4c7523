#include "RestoreTestSupport.h"
#include "restore/UnarchiveOperation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>

using namespace strataloom;
using namespace strataloom::test;

namespace {

const std::string kCouldNotCreate = "Couldn't create unarchived file.";

struct Result {
    UnarchiveOutcome outcome;
    std::vector<std::string> errors;
    std::vector<RecordingReporter::Step> steps;
};

class UnarchiveWrite : public testing::Test {
protected:
    // Lists `folder` and writes the new file `destination` from it, as the
    // window does after the dialog was confirmed.
    Result unarchive(const std::string& folder, const std::string& destination, int stopAfter = -1,
                  const std::function<void()>& whileDialogIsUp = {})
    {
        RecordingReporter reporter;
        const std::optional<UnarchiveSource> source =
            listUnarchiveSource(FileUrl::directoryFromPath(folder), reporter);
        if (!source)
            throw std::runtime_error("listing failed");
        if (whileDialogIsUp)
            whileDialogIsUp();
        reporter.stopAfter = stopAfter;
        const UnarchiveOutcome outcome = writeUnarchivedFile(kResponseOK, FileUrl::fromPath(destination),
                                                             source->lastFilePath, source->names, source->folder,
                                                             store, reporter);
        return {outcome, reporter.errors, reporter.steps};
    }

    // The contents of the versions the store lists for `item`, in order.
    std::vector<std::string> versionContents(const std::string& item)
    {
        std::vector<std::string> contents;
        const auto versions = store.otherVersionsOfItem(FileUrl::fromPath(item));
        if (versions) {
            for (const FileVersion& version : *versions)
                contents.push_back(readFile(version.URL().path()));
        }
        return contents;
    }

    FileVersionStore store;
    const std::string destination = makeScratchFolder("chosen") + "/New.txt";
};

} // namespace

TEST_F(UnarchiveWrite, LastEntryBecomesTheFileAndEarlierOnesItsVersionsInOrder)
{
    const std::string folder = folderWithFiles({"a00002.txt", "a00003.txt", "a00001.txt"});
    const Result run = unarchive(folder, destination);
    EXPECT_EQ(run.outcome, UnarchiveOutcome::Written);
    EXPECT_TRUE(run.errors.empty());
    EXPECT_EQ(readFile(destination), "a00003.txt");
    EXPECT_EQ(versionContents(destination), (std::vector<std::string>{"a00001.txt", "a00002.txt"}));
    for (const char* name : {"a00001.txt", "a00002.txt", "a00003.txt"})
        EXPECT_EQ(readFile(folder + "/" + name), name);
    EXPECT_EQ(run.steps, (std::vector<RecordingReporter::Step>{
                             {0, 3, "a00003.txt"}, {1, 3, "a00001.txt"}, {2, 3, "a00002.txt"}}));
}

TEST_F(UnarchiveWrite, OneEntryIsCopiedThenReported)
{
    const Result run = unarchive(folderWithFiles({".DS_Store", "only.txt"}), destination);
    EXPECT_EQ(run.outcome, UnarchiveOutcome::Failed);
    EXPECT_EQ(run.errors, std::vector<std::string>{"Only 1 file to unarchive."});
    EXPECT_EQ(readFile(destination), "only.txt");
    EXPECT_TRUE(versionContents(destination).empty());
}

TEST_F(UnarchiveWrite, ExistingItemAtTheDestinationIsNeverReplaced)
{
    const std::string folder = folderWithFiles({"a00001.txt", "a00002.txt"});
    writeFile(destination, "keep me");
    Result run = unarchive(folder, destination);
    EXPECT_EQ(run.errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_EQ(readFile(destination), "keep me");
    EXPECT_TRUE(versionContents(destination).empty());
}

TEST_F(UnarchiveWrite, EntryGoneAfterListingStopsAtItKeepingWhatWasAdded)
{
    const std::string folder = folderWithFiles({"a00001.txt", "a00002.txt", "a00003.txt", "a00004.txt"});
    const Result run = unarchive(folder, destination, -1, [&] { std::filesystem::remove(folder + "/a00002.txt"); });
    EXPECT_EQ(run.outcome, UnarchiveOutcome::Failed);
    EXPECT_EQ(run.errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_EQ(readFile(destination), "a00004.txt");
    EXPECT_EQ(versionContents(destination), std::vector<std::string>{"a00001.txt"});
    EXPECT_EQ(run.steps.back().name, "a00002.txt");

    const std::string other = makeScratchFolder("chosen") + "/Other.txt";
    const Result lastGone = unarchive(folder, other, -1, [&] { std::filesystem::remove(folder + "/a00004.txt"); });
    EXPECT_EQ(lastGone.errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(other)));
}

TEST_F(UnarchiveWrite, StopRequestEndsBetweenEntriesWithoutReport)
{
    const std::string folder = folderWithFiles({"a00001.txt", "a00002.txt", "a00003.txt"});
    const Result run = unarchive(folder, destination, 2);
    EXPECT_EQ(run.outcome, UnarchiveOutcome::Failed);
    EXPECT_TRUE(run.errors.empty());
    EXPECT_EQ(readFile(destination), "a00003.txt");
    EXPECT_EQ(versionContents(destination), std::vector<std::string>{"a00001.txt"});
}

TEST_F(UnarchiveWrite, SymlinksGiveTheirTargetFilesContents)
{
    const std::string outside = makeScratchFolder("outside");
    writeFile(outside + "/old", "old contents");
    writeFile(outside + "/new", "new contents");
    const std::string folder = folderWithFiles({"a00000.txt"});
    std::filesystem::create_symlink(outside + "/old", folder + "/a00001.txt");
    std::filesystem::create_symlink("../" + std::filesystem::path(outside).filename().string() + "/new",
                                    folder + "/a00002.txt");
    ASSERT_EQ(readFile(folder + "/a00002.txt"), "new contents");

    const Result run = unarchive(folder, destination);
    EXPECT_TRUE(run.errors.empty());
    EXPECT_FALSE(std::filesystem::is_symlink(destination));
    EXPECT_EQ(readFile(destination), "new contents");
    EXPECT_EQ(versionContents(destination), (std::vector<std::string>{"a00000.txt", "old contents"}));
    EXPECT_EQ(readFile(outside + "/old"), "old contents");
    EXPECT_EQ(readFile(outside + "/new"), "new contents");
}

TEST_F(UnarchiveWrite, EntriesThatHoldNoFileContentsFailCleanly)
{
    // A folder, a pipe (which must not be opened: that would block) and a
    // dangling link as versions; each stops the run at its place.
    for (const std::string kind : {"folder", "pipe", "dangling"}) {
        const std::string folder = folderWithFiles({"a00000.txt", "a00002.txt"});
        const std::string odd = folder + "/a00001";
        if (kind == "folder")
            std::filesystem::create_directory(odd);
        else if (kind == "pipe")
            ASSERT_EQ(mkfifo(odd.c_str(), 0600), 0);
        else
            std::filesystem::create_symlink("missing", odd);
        const std::string chosen = makeScratchFolder("chosen") + "/New.txt";
        const Result run = unarchive(folder, chosen);
        EXPECT_EQ(run.errors, std::vector<std::string>{kCouldNotCreate}) << kind;
        EXPECT_EQ(readFile(chosen), "a00002.txt") << kind;
        EXPECT_EQ(versionContents(chosen), std::vector<std::string>{"a00000.txt"}) << kind;
    }
    // As the last entry, a link to a folder makes no file at all.
    const std::string folder = folderWithFiles({"a00000.txt"});
    std::filesystem::create_symlink(makeScratchFolder("outside"), folder + "/a00001");
    const Result run = unarchive(folder, destination);
    EXPECT_EQ(run.errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(destination)));
}

TEST_F(UnarchiveWrite, LastEntryFolderIsCopiedWhole)
{
    const std::string folder = folderWithFiles({"a00000.txt"});
    std::filesystem::create_directory(folder + "/a00001");
    writeFile(folder + "/a00001/inner", "inner");
    const std::string chosen = makeScratchFolder("chosen") + "/Package";
    // The store keeps versions of files only: the copy stays, the first version fails.
    EXPECT_EQ(unarchive(folder, chosen).errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_EQ(readFile(chosen + "/inner"), "inner");
}

TEST_F(UnarchiveWrite, NamesThatAreNotUtf8OpenTheirOwnEntries)
{
    const std::string first = "caf\xE9 00000.txt", second = "caf\xE9 00001.txt";
    const std::string folder = folderWithFiles({first, second, "caf\xC3\xA9 00000.txt"});
    const std::string chosen = makeScratchFolder("chosen") + "/caf\xE9.txt";
    const Result run = unarchive(folder, chosen);
    EXPECT_TRUE(run.errors.empty());
    EXPECT_EQ(readFile(chosen), second);
    EXPECT_EQ(versionContents(chosen), (std::vector<std::string>{"caf\xC3\xA9 00000.txt", first}));
}
