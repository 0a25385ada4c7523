#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::runCli;

// Archive and unarchive print the window's fixed message, then on a line of its
// own why the operation failed; a name that is not UTF-8 is escaped there, so
// that no name can forge a line.
TEST(FailureCauses, ArchiveAndUnarchiveSayWhyOnASecondLine)
{
    FileVersionStore store;
    const std::string scratch = test::makeScratchFolder("causes");
    const FileUrl document = test::documentWithVersions(store, scratch, "notes.txt", {"v0", "v1"}, "now");
    const std::string numbered = scratch + "/numbered";
    fs::create_directories(numbered + "/n00001.txt");
    test::writeFile(numbered + "/n00000.txt", "v0");
    test::writeFile(numbered + "/n00002.txt", "now");
    const std::string blocker = scratch + "/caf\xe9 file";
    test::writeFile(blocker, "a file where a folder is expected");
    const std::string printedBlocker = scratch + "/caf\\xe9 file";
    const std::string occupied = scratch + "/occupied";
    fs::create_directories(occupied);
    test::writeFile(occupied + "/notes00000.txt", "already here");

    struct Case {
        std::vector<std::string> arguments;
        std::string message;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {{"unarchive", scratch + "/absent"},
         "Couldn't get contents of folder.",
         "cannot open the folder " + scratch + "/absent: No such file or directory"},
        {{"unarchive", numbered, blocker + "/new.txt"},
         "Couldn't create unarchived file.",
         "cannot create " + printedBlocker + "/new.txt: Not a directory"},
        {{"unarchive", numbered, scratch + "/restored.txt"},
         "Couldn't create unarchived file.",
         "the contents file " + numbered + "/n00001.txt is not a regular file"},
        {{"archive", document.path(), blocker + "/out"},
         "Couldn't create or write folder.",
         "cannot create the folder " + printedBlocker + "/out: Not a directory"},
        {{"archive", document.path(), occupied},
         "Couldn't create or write folder.",
         "cannot create " + occupied + "/notes00000.txt: File exists"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const test::CliResult result = runCli(c.arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "strataloom-cli: " + c.message + "\nstrataloom-cli: " + c.cause + "\n");
    }
    EXPECT_EQ(test::readFile(occupied + "/notes00000.txt"), "already here");
}

} // namespace
} // namespace strataloom
