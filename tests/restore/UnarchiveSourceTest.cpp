#include "RestoreTestSupport.h"
#include "restore/UnarchiveOperation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace strataloom;
using namespace strataloom::test;

namespace {

// Lists `folder`, expecting success without a report.
UnarchiveSource listed(const std::string& folder)
{
    RecordingReporter reporter;
    std::optional<UnarchiveSource> source = listUnarchiveSource(FileUrl::directoryFromPath(folder), reporter);
    EXPECT_TRUE(reporter.errors.empty());
    if (!source)
        throw std::runtime_error("listing failed");
    return *source;
}

std::string proposedFor(std::initializer_list<std::string> names)
{
    return listed(folderWithFiles(names)).proposedName;
}

std::vector<std::string> failureOf(const std::string& folder)
{
    RecordingReporter reporter;
    EXPECT_FALSE(listUnarchiveSource(FileUrl::directoryFromPath(folder), reporter));
    return reporter.errors;
}

} // namespace

TEST(UnarchiveSource, ArchiveEntriesComeInNumberOrderWhateverTheirCreationOrder)
{
    const std::string folder = folderWithFiles({"a00003.txt", "a00001.txt", "a00002.txt"});
    const UnarchiveSource source = listed(folder);
    EXPECT_EQ(source.names, (std::vector<std::string>{"a00001.txt", "a00002.txt", "a00003.txt"}));
    EXPECT_EQ(source.lastFilePath, folder + "/a00003.txt");
    EXPECT_EQ(source.proposedName, "a-Copy.txt");
    EXPECT_EQ(source.folder.path(), folder);
}

TEST(UnarchiveSource, HiddenNamesAreDroppedAndEveryOtherKindKept)
{
    const std::string folder = folderWithFiles({".DS_Store", ".hidden", "b.txt"});
    std::filesystem::create_directory(folder + "/c-folder");
    std::filesystem::create_symlink("nowhere", folder + "/d-dangling");
    std::filesystem::create_symlink("b.txt", folder + "/a-link");
    ASSERT_EQ(mkfifo((folder + "/e-pipe").c_str(), 0600), 0);
    std::filesystem::create_directory(folder + "/z-folder");
    const UnarchiveSource source = listed(folder);
    EXPECT_EQ(source.names,
              (std::vector<std::string>{"a-link", "b.txt", "c-folder", "d-dangling", "e-pipe", "z-folder"}));
    EXPECT_EQ(source.lastFilePath, folder + "/z-folder");
    EXPECT_EQ(source.proposedName, "z-f-Copy");
}

TEST(UnarchiveSource, FoldersWithNothingToUseAreReported)
{
    EXPECT_EQ(failureOf(folderWithFiles({".DS_Store", ".x"})), std::vector<std::string>{"The folder is empty."});
    EXPECT_EQ(failureOf(makeScratchFolder()), std::vector<std::string>{"The folder is empty."});
    const std::string contents = "Couldn't get contents of folder.";
    EXPECT_EQ(failureOf(makeScratchFolder() + "/missing"), std::vector<std::string>{contents});
    const std::string file = makeScratchFolder() + "/plain";
    writeFile(file, "x");
    EXPECT_EQ(failureOf(file), std::vector<std::string>{contents});
}

TEST(UnarchiveSource, ProposedNamesDropTheNumberWidthFromTheBase)
{
    EXPECT_EQ(proposedFor({"notes.txt"}), "notes-Copy.txt");
    EXPECT_EQ(proposedFor({"Report.pdf"}), "R-Copy.pdf");
    EXPECT_EQ(proposedFor({"README"}), "R-Copy");
    EXPECT_EQ(proposedFor({"README00000", "README00001", "README00002"}), "README-Copy");
    EXPECT_EQ(proposedFor({"a.tar00001.gz"}), "a.tar-Copy.gz");
    EXPECT_EQ(proposedFor({"Report00002.pages", "Report00000.pages", "Report00003.pages", "Report00001.pages"}),
              "Report-Copy.pages");
    EXPECT_EQ(proposedFor({"name."}), "name.-Copy");
    EXPECT_EQ(proposedFor({".hidden", "short"}), "short-Copy");
}

TEST(UnarchiveSource, ProposedNamesCountUserPerceivedCharacters)
{
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
    const std::string accented = "e\xCC\x81";
    // Seven characters: two stay.
    EXPECT_EQ(proposedFor({"ab" + family + flag + flag + accented + "x.txt"}), "ab-Copy.txt");
    // Five characters of many bytes: the base stays whole.
    EXPECT_EQ(proposedFor({family + flag + accented + "\xCC\xA3" + "xy.md"}),
              family + flag + accented + "\xCC\xA3" + "xy-Copy.md");
    // The number follows a combining sequence or an emoji.
    EXPECT_EQ(proposedFor({"R" + accented + "sum" + accented + "00004.doc"}),
              "R" + accented + "sum" + accented + "-Copy.doc");
    EXPECT_EQ(proposedFor({"Trip " + family + "00012.jpg"}), "Trip " + family + "-Copy.jpg");
}

TEST(UnarchiveSource, NamesThatAreNotUtf8KeepTheirBytes)
{
    const std::string first = "caf\xE9 00000.txt", second = "caf\xE9 00001.txt";
    const std::string folder = folderWithFiles({second, first, "caf\xC3\xA9.txt"});
    const UnarchiveSource source = listed(folder);
    EXPECT_EQ(source.names, (std::vector<std::string>{"caf\xC3\xA9.txt", first, second}));
    EXPECT_EQ(source.lastFilePath, folder + "/" + second);
    EXPECT_EQ(source.proposedName, "caf\xE9 -Copy.txt");
}
