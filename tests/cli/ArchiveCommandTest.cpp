#include "archive/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

using test::entriesOf;
using test::readFile;
using test::runCli;
namespace fs = std::filesystem;

class ArchiveCommand : public testing::Test {
protected:
    FileVersionStore store;
    std::string documents = test::makeScratchFolder("documents");
};

TEST_F(ArchiveCommand, WritesBesideTheFileUnderTheProposedNameAndSaysNothing)
{
    test::documentWithVersions(store, documents, "Report.pages", {"v0", "v1"}, "now");
    const test::CliResult result = runCli({"archive", documents + "/Report.pages"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    const std::string folder = documents + "/Report versions";
    EXPECT_EQ(entriesOf(folder),
              (std::set<std::string>{"Report00000.pages", "Report00001.pages", "Report00002.pages"}));
    EXPECT_EQ(readFile(folder + "/Report00002.pages"), "now");
    EXPECT_EQ(readDates(folder + "/Report00001.pages"), test::historicalDates(1));
}

TEST_F(ArchiveCommand, RelativePathsAndOddBytesAreTakenAsGiven)
{
    const std::string name = "caf\xe9\xff.txt";
    test::documentWithVersions(store, documents, name, {"v0"}, "now");
    fs::create_directory(documents + "/out");
    const test::CliResult result = runCli({"archive", "./" + name, "out/./sub/new\xfe"}, documents);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(entriesOf(documents + "/out/sub/new\xfe"),
              (std::set<std::string>{"caf\xe9\xff" "00000.txt", "caf\xe9\xff" "00001.txt"}));
}

TEST_F(ArchiveCommand, EveryReportedDetailGoesToStderrInOrderAndFails)
{
    const FileUrl document =
        test::documentWithVersions(store, documents, "notes.txt", {"v0", "v1", "v2", "v3"}, "now");
    fs::remove(test::storedPath(store, document, 1));
    test::corrupt(test::storedPath(store, document, 3));
    const test::CliResult result = runCli({"archive", document.path(), documents + "/out"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "strataloom-cli: Some versions aren't stored locally.\n"
                          "strataloom-cli: Some versions aren't stored locally.\n");
    EXPECT_EQ(entriesOf(documents + "/out"),
              (std::set<std::string>{"notes00000.txt", "notes00002.txt", "notes00004.txt"}));
}

TEST_F(ArchiveCommand, AMissingFileGetsAMessageOfItsOwn)
{
    const test::CliResult result = runCli({"archive", documents + "/gone.txt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("strataloom-cli: " + documents + "/gone.txt: "), std::string::npos) << result.err;
    EXPECT_TRUE(entriesOf(documents).empty());
}

TEST_F(ArchiveCommand, EmptyArgumentsAreRefused)
{
    const test::CliResult result = runCli({"archive", ""});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("strataloom-cli: "), std::string::npos);
}

} // namespace
} // namespace strataloom
