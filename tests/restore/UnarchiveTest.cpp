#include "Names.h"
#include "UnarchiveOperation.h"
#include "support/OperationTestSupport.h"
#include "support/StoredContents.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>

using namespace strataloom;
using namespace strataloom::test;

namespace {

const std::string kCouldNotCreate = "Couldn't create unarchived file.";
const std::string kFamily = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
const std::string kFlag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string kAccent = "e\xCC\x81";

// A folder holding one file per name, each file's contents being its name.
std::string folderWithFiles(std::initializer_list<std::string> names)
{
    const std::string folder = makeScratchFolder("dropped");
    for (const std::string& name : names)
        writeFile(folder + "/" + name, name);
    return folder;
}

class Unarchive : public testing::Test {
protected:
    std::optional<UnarchiveSource> list(const std::string& folder)
    {
        RecordingReporter reporter;
        std::optional<UnarchiveSource> source = listUnarchiveSource(FileUrl::directoryFromPath(folder), reporter);
        errors = reporter.errors;
        return source;
    }

    // Lists `folder` and writes `destination` from it, as the window does once
    // the dialog is confirmed; `whileDialogIsUp` runs in between.
    UnarchiveOutcome unarchive(const std::string& folder, const std::string& destination,
                               const std::function<void()>& whileDialogIsUp = {})
    {
        const UnarchiveSource source = list(folder).value();
        if (whileDialogIsUp)
            whileDialogIsUp();
        RecordingReporter reporter;
        const UnarchiveOutcome outcome =
            writeUnarchivedFile(kResponseOK, FileUrl::fromPath(destination), source.lastFilePath, source.names,
                                source.folder, store, reporter);
        errors = reporter.errors;
        return outcome;
    }

    std::vector<std::string> versionContents(const std::string& item)
    {
        std::vector<std::string> contents;
        for (const FileVersion& version :
             store.otherVersionsOfItem(FileUrl::fromPath(item)).value_or(std::vector<FileVersion>{}))
            contents.push_back(contentsOf(version));
        return contents;
    }

    FileVersionStore store;
    std::vector<std::string> errors;
    const std::string destination = makeScratchFolder("chosen") + "/New.txt";
};

} // namespace

TEST(Names, OrderIsByCodePointAfterCanonicalComposition)
{
    const std::tuple<std::string, std::string, std::strong_ordering> cases[] = {
        {"File10", "File2", std::strong_ordering::less}, // no natural numbers
        {"Zeta", "abc", std::strong_ordering::less}, // no case folding
        {"abc", "abcd", std::strong_ordering::less}, // a prefix first
        {"zebra", "\xC3\xA9t\xC3\xA9", std::strong_ordering::less}, // no locale
        // UTF-16 units would put U+1F600 (a surrogate pair) before U+FF5E.
        {"\xEF\xBD\x9E", "\xF0\x9F\x98\x80", std::strong_ordering::less},
        {"caf\xC3\xA9", "caf" + kAccent, std::strong_ordering::equal},
        {"\xEF\xBB\xBF"
         "abc",
         "abc", std::strong_ordering::greater}, // a byte order mark is part of the name
        // Names that are not UTF-8 go by their raw bytes and are never composed:
        // stray bytes, overlong forms, surrogates, values above U+10FFFF.
        {"a\xFF", "a\xC3\xA9", std::strong_ordering::greater},
        {"\xC0\xAF" + kAccent, "\xC0\xAF\xC3\xA9", std::strong_ordering::less},
        {"\xED\xA0\x80" + kAccent, "\xED\xA0\x80\xC3\xA9", std::strong_ordering::less},
        {"\xF4\x90\x80\x80" + kAccent, "\xF4\x90\x80\x80\xC3\xA9", std::strong_ordering::less},
    };
    for (const auto& [a, b, expected] : cases) {
        EXPECT_EQ(compareNames(a, b), expected) << a << " / " << b;
        std::vector<std::string> names = {a, b};
        sortNames(names);
        // Equal names keep the order they were given in.
        EXPECT_EQ(names[0], expected == std::strong_ordering::greater ? b : a) << a << " / " << b;
    }
}

TEST_F(Unarchive, ListingOrdersEntriesAndDropsHiddenNames)
{
    const std::string folder = folderWithFiles({"a00003.txt", ".DS_Store", "a00001.txt", ".hidden", "a00002.txt"});
    std::filesystem::create_directory(folder + "/b-folder");
    std::filesystem::create_symlink("nowhere", folder + "/c-dangling");
    const UnarchiveSource source = list(folder).value();
    EXPECT_EQ(source.names,
              (std::vector<std::string>{"a00001.txt", "a00002.txt", "a00003.txt", "b-folder", "c-dangling"}));
    EXPECT_EQ(source.lastFilePath, folder + "/c-dangling");
}

TEST_F(Unarchive, FoldersWithNothingToUseAreReported)
{
    const std::string file = makeScratchFolder() + "/plain";
    writeFile(file, "x");
    const std::pair<std::string, std::string> cases[] = {
        {folderWithFiles({".DS_Store", ".x"}), "The folder is empty."},
        {makeScratchFolder(), "The folder is empty."},
        {makeScratchFolder() + "/missing", "Couldn't get contents of folder."},
        {file, "Couldn't get contents of folder."},
    };
    for (const auto& [folder, message] : cases) {
        EXPECT_FALSE(list(folder));
        EXPECT_EQ(errors, std::vector<std::string>{message}) << folder;
    }
}

TEST_F(Unarchive, ProposedNameDropsTheNumberWidthCountingUserPerceivedCharacters)
{
    const std::pair<std::string, std::string> cases[] = {
        {"notes.txt", "notes-Copy.txt"},
        {"Report.pdf", "R-Copy.pdf"},
        {"README", "R-Copy"},
        {"a.tar00001.gz", "a.tar-Copy.gz"},
        {"name.", "name.-Copy"},
        {"ab" + kFamily + kFlag + kFlag + kAccent + "x.txt", "ab-Copy.txt"},
        {kFamily + kFlag + kAccent + "\xCC\xA3xy.md", kFamily + kFlag + kAccent + "\xCC\xA3xy-Copy.md"},
        {"R" + kAccent + "sum" + kAccent + "00004.doc", "R" + kAccent + "sum" + kAccent + "-Copy.doc"},
        {"Trip " + kFamily + "00012.jpg", "Trip " + kFamily + "-Copy.jpg"},
        // Each byte outside UTF-8 is a character of its own.
        {"ab\xFF\xFE"
         "cd",
         "a-Copy"},
    };
    for (const auto& [entry, proposed] : cases)
        EXPECT_EQ(list(folderWithFiles({".hidden", entry})).value().proposedName, proposed) << entry;
}

TEST_F(Unarchive, NamesThatAreNotUtf8KeepTheirBytesThroughout)
{
    const std::string first = "caf\xE9 00000.txt", second = "caf\xE9 00001.txt";
    const std::string folder = folderWithFiles({second, first, "caf\xC3\xA9.txt"});
    const UnarchiveSource source = list(folder).value();
    EXPECT_EQ(source.names, (std::vector<std::string>{"caf\xC3\xA9.txt", first, second}));
    EXPECT_EQ(source.proposedName, "caf\xE9 -Copy.txt");

    const std::string chosen = makeScratchFolder("chosen") + "/caf\xE9.txt";
    EXPECT_EQ(unarchive(folder, chosen), UnarchiveOutcome::Written);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(readFile(chosen), second);
    EXPECT_EQ(versionContents(chosen), (std::vector<std::string>{"caf\xC3\xA9.txt", first}));
}

TEST_F(Unarchive, ExistingItemAtTheDestinationIsNeverReplaced)
{
    writeFile(destination, "keep me");
    EXPECT_EQ(unarchive(folderWithFiles({"a00001.txt", "a00002.txt"}), destination), UnarchiveOutcome::Failed);
    EXPECT_EQ(errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_EQ(readFile(destination), "keep me");
    EXPECT_TRUE(versionContents(destination).empty());
}

TEST_F(Unarchive, EntryGoneAfterListingStopsAtItKeepingWhatWasAdded)
{
    const std::string folder = folderWithFiles({"a00001.txt", "a00002.txt", "a00003.txt", "a00004.txt"});
    EXPECT_EQ(unarchive(folder, destination, [&] { std::filesystem::remove(folder + "/a00002.txt"); }),
              UnarchiveOutcome::Failed);
    EXPECT_EQ(errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_EQ(readFile(destination), "a00004.txt");
    EXPECT_EQ(versionContents(destination), std::vector<std::string>{"a00001.txt"});

    const std::string other = makeScratchFolder("chosen") + "/Other.txt";
    EXPECT_EQ(unarchive(folder, other, [&] { std::filesystem::remove(folder + "/a00004.txt"); }),
              UnarchiveOutcome::Failed);
    EXPECT_EQ(errors, std::vector<std::string>{kCouldNotCreate});
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(other)));
}

TEST_F(Unarchive, AFileMadeWhereAnotherWasStartsAHistoryOfItsOwn)
{
    const std::string folder = folderWithFiles({"a00001.txt", "a00002.txt", "a00003.txt"});
    ASSERT_EQ(unarchive(folder, destination), UnarchiveOutcome::Written);
    std::filesystem::remove(destination);
    ASSERT_EQ(unarchive(folder, destination), UnarchiveOutcome::Written);
    EXPECT_EQ(versionContents(destination), (std::vector<std::string>{"a00001.txt", "a00002.txt"}));

    // One entry is copied, then reported: a file without versions.
    std::filesystem::remove(destination);
    EXPECT_EQ(unarchive(folderWithFiles({".DS_Store", "only.txt"}), destination), UnarchiveOutcome::Failed);
    EXPECT_EQ(errors, std::vector<std::string>{"Only 1 file to unarchive."});
    EXPECT_EQ(readFile(destination), "only.txt");
    EXPECT_TRUE(versionContents(destination).empty());
}
