// compact: a store of the format before records, re-encoded step by step.
#include "support/Format4Store.h"
#include "support/OperationTestSupport.h"
#include "support/RecordTestSupport.h"

#include "FileVersionStore.h"

#include <gtest/gtest.h>

#include <regex>

namespace strataloom {
namespace {

using test::runCli;

TEST(CompactCommand, ReEncodesAnEarlierFormatsHistoryAndSaysWhatItSaved)
{
    const std::string location = FileVersionStore::defaultLocation();
    const std::string notes = test::makeScratchFolder("documents") + "/notes.txt";
    std::vector<std::string> revisions;
    for (int n = 0; n < 5; ++n)
        revisions.push_back(test::revision(n));
    test::writeFormat4Store(location, notes, revisions);

    const test::CliResult dryRun = runCli({"compact", "--dry-run"});
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.err;
    EXPECT_TRUE(std::regex_match(dryRun.out, std::regex("4 records of older versions, [0-9]+ bytes on disk, would "
                                                        "be re-encoded\n")))
        << dryRun.out;
    EXPECT_EQ(test::recordKinds(location), (std::vector<int>{5, 0, 0}));

    const test::CliResult compacted = runCli({"compact"});
    EXPECT_EQ(compacted.exitCode, 0) << compacted.err;
    std::smatch bytes;
    ASSERT_TRUE(std::regex_match(compacted.out, bytes,
                                 std::regex("4 records re-encoded, 0 records kept whole; they took ([0-9]+) bytes on "
                                            "disk and now take ([0-9]+)\n")))
        << compacted.out;
    EXPECT_LT(std::stoull(bytes[2]) * 2, std::stoull(bytes[1]));
    EXPECT_EQ(test::recordKinds(location), (std::vector<int>{1, 4, 0}));
    EXPECT_EQ(test::revisionsOf(location, notes, revisions), test::revisionNames({0, 1, 2, 3, 4}));
    EXPECT_EQ(runCli({"check"}).exitCode, 0);

    // Run again, it finds nothing left to do.
    const test::CliResult again = runCli({"compact"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.out, "0 records re-encoded, 0 records kept whole; they took 0 bytes on disk and now take 0\n");
}

} // namespace
} // namespace strataloom
