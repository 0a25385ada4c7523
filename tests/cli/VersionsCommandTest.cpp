#include "platform/FileVersionStore.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace strataloom {
namespace {

using test::makeScratchFolder;
using test::runCli;
using test::writeFile;

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

std::vector<std::vector<std::string>> rowsOf(const std::string& output)
{
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : split(output, '\n'))
        rows.push_back(split(line, '\t'));
    return rows;
}

class VersionsCommand : public testing::Test {
protected:
    // Saves `contents` with the given dates as a version of the document.
    void saveVersion(const std::string& contents, const FileDates& dates)
    {
        writeFile(document, contents);
        ASSERT_TRUE(setDates(document, dates));
        const test::CliResult result = runCli({"save-version", document});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }

    std::string folder = makeScratchFolder("documents");
    std::string document = folder + "/Report.txt";
    std::string storedFolder = std::string(std::getenv("XDG_DATA_HOME")) + "/strataloom/documents/";
};

TEST_F(VersionsCommand, ListsSavedVersionsInOrderThenTheCurrentOne)
{
    saveVersion("first", {{978'307'200, 1}, {1'577'934'245, 123'456'789}});
    saveVersion("second!", {{978'307'201, 0}, {1'600'000'000, 5}});
    writeFile(document, "current contents");

    const test::CliResult result = runCli({"versions", "Report.txt"}, folder);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const auto rows = rowsOf(result.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"00000", "2020-01-02T03:04:05.123456789Z",
                                                 "2001-01-01T00:00:00.000000001Z", "5", "local", rows[0][5]}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"00001", "2020-09-13T12:26:40.000000005Z",
                                                 "2001-01-01T00:00:01.000000000Z", "7", "local", rows[1][5]}));
    for (int i : {0, 1}) {
        EXPECT_EQ(rows[i][5].rfind(storedFolder, 0), 0u) << rows[i][5];
        EXPECT_NE(rows[i][5], rows[1 - i][5]);
    }
    EXPECT_EQ(rows[2][0], "00002");
    EXPECT_EQ(rows[2][3], "16");
    EXPECT_EQ(rows[2][4], "local");
    EXPECT_EQ(rows[2][5], document);
    EXPECT_EQ(test::readFile(rows[0][5]), "first");
}

TEST_F(VersionsCommand, AFileWithoutVersionsListsItselfAndAMissingStoredFileShows)
{
    writeFile(document, "only");
    test::CliResult result = runCli({"versions", document});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(rowsOf(result.out).size(), 1u);
    EXPECT_EQ(rowsOf(result.out)[0][0], "00000");

    saveVersion("kept", {{1, 0}, {2, 0}});
    saveVersion("lost", {{1, 0}, {2, 0}});
    std::filesystem::remove(rowsOf(runCli({"versions", document}).out)[1][5]);
    result = runCli({"versions", document});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto rows = rowsOf(result.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][4], "local");
    EXPECT_EQ(rows[1][4], "missing");
    EXPECT_EQ(rows[2][4], "local");
}

TEST_F(VersionsCommand, NamesAreWrittenAsTheirExactBytes)
{
    const std::string name = std::string(240, '\xe9') + "\xff\xfe\x80 odd.txt";
    ASSERT_EQ(name.size(), 251u);
    document = folder + "/" + name;
    saveVersion("old", {{5, 0}, {6, 0}});
    const test::CliResult result = runCli({"versions", document});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto rows = rowsOf(result.out);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][5], document);
}

TEST_F(VersionsCommand, FailuresSayWhyOnStandardErrorAndExitOne)
{
    std::filesystem::create_directory(folder + "/sub");
    const std::vector<std::vector<std::string>> failing = {
        {"versions", folder + "/missing"},
        {"save-version", folder + "/missing"},
        {"save-version", folder + "/sub"},
    };
    for (const auto& arguments : failing) {
        SCOPED_TRACE(arguments[0] + " " + arguments[1]);
        const test::CliResult result = runCli(arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("strataloom-cli: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(arguments[1]), std::string::npos) << result.err;
    }

    saveVersion("v0", {{1, 0}, {2, 0}});
    const std::string index = std::string(std::getenv("XDG_DATA_HOME")) + "/strataloom/index.sqlite";
    for (const char* suffix : {"-wal", "-shm"})
        std::filesystem::remove(index + suffix);
    writeFile(index, std::string(4096, 'z'));
    for (const char* command : {"versions", "save-version"}) {
        SCOPED_TRACE(command);
        const test::CliResult result = runCli({command, document});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("strataloom-cli: ", 0), 0u) << result.err;
    }
}

TEST_F(VersionsCommand, UsageErrorsExitTwo)
{
    writeFile(document, "x");
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"versions"}, {"save-version"}, {"versions", document, document}, {"save-version", "--bogus", document}}) {
        const test::CliResult result = runCli(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments[0];
        EXPECT_EQ(result.out, "");
    }
}

} // namespace
} // namespace strataloom
