#include "RestoreTestSupport.h"
#include "platform/FileVersionStore.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace strataloom;
using namespace strataloom::test;

namespace {

std::size_t versionCount(const std::string& item)
{
    FileVersionStore store;
    const auto versions = store.otherVersionsOfItem(FileUrl::fromPath(item));
    return versions ? versions->size() : 0;
}

// A folder "Report versions" holding three archive entries, inside its own parent.
std::string archiveFolder(const std::string& parent, const std::string& name = "Report versions")
{
    const std::string folder = parent + "/" + name;
    std::filesystem::create_directory(folder);
    for (const char* entry : {"Report00000.pages", "Report00001.pages", "Report00002.pages"})
        writeFile(folder + "/" + entry, entry);
    return folder;
}

} // namespace

TEST(UnarchiveCommand, WithoutNewFileTheProposedNameGoesBesideTheFolderHoweverSpelt)
{
    const std::string parent = makeScratchFolder();
    const std::string folder = archiveFolder(parent);
    const CliResult result = runCli({"unarchive", "Report versions"}, parent);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(readFile(parent + "/Report-Copy.pages"), "Report00002.pages");
    EXPECT_EQ(versionCount(parent + "/Report-Copy.pages"), 2u);
    for (const auto& [spelling, workingFolder] :
         {std::pair<std::string, std::string>{".", folder}, {"./Report versions//", parent}}) {
        std::filesystem::remove(parent + "/Report-Copy.pages");
        EXPECT_EQ(runCli({"unarchive", spelling}, workingFolder).exitCode, 0) << spelling;
        EXPECT_TRUE(std::filesystem::exists(parent + "/Report-Copy.pages")) << spelling;
    }
}

TEST(UnarchiveCommand, GivenNewFileIsUsedAsIs)
{
    const std::string parent = makeScratchFolder();
    archiveFolder(parent, "caf\xE9 versions");
    std::filesystem::create_directory(parent + "/out");
    const CliResult result = runCli({"unarchive", "caf\xE9 versions", "out/Restored \xFF.pages"}, parent);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readFile(parent + "/out/Restored \xFF.pages"), "Report00002.pages");
    EXPECT_EQ(versionCount(parent + "/out/Restored \xFF.pages"), 2u);
}

TEST(UnarchiveCommand, FailuresAreReportedWithExitStatusOne)
{
    const std::string parent = makeScratchFolder();
    std::filesystem::create_directory(parent + "/empty");
    writeFile(parent + "/empty/.hidden", "x");
    CliResult result = runCli({"unarchive", parent + "/empty"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "strataloom-cli: The folder is empty.\n");

    result = runCli({"unarchive", parent + "/missing"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "strataloom-cli: Couldn't get contents of folder.\n");

    const std::string folder = archiveFolder(parent);
    writeFile(parent + "/Taken", "taken");
    result = runCli({"unarchive", folder, parent + "/Taken"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "strataloom-cli: Couldn't create unarchived file.\n");
    EXPECT_EQ(readFile(parent + "/Taken"), "taken");

    std::filesystem::create_directory(parent + "/single");
    writeFile(parent + "/single/one.txt", "one");
    result = runCli({"unarchive", parent + "/single"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "strataloom-cli: Only 1 file to unarchive.\n");
    EXPECT_EQ(readFile(parent + "/one-Copy.txt"), "one");

    EXPECT_EQ(runCli({"unarchive", ""}).exitCode, 2);
    EXPECT_EQ(runCli({"unarchive"}).exitCode, 2);
}
