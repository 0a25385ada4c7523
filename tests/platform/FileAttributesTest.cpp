#include "platform/FileAttributes.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace strataloom {
namespace {

using test::makeScratchFolder;
using test::writeFile;

const FileDates kDates{{978'307'200, 123'456'789}, {1'577'934'245, 987'654'321}};

TEST(FileTime, Iso8601InUtcWithNineFractionDigits)
{
    EXPECT_EQ((FileTime{0, 0}).toIso8601(), "1970-01-01T00:00:00.000000000Z");
    EXPECT_EQ((FileTime{1'577'934'245, 123'456'789}).toIso8601(), "2020-01-02T03:04:05.123456789Z");
    EXPECT_EQ((FileTime{-1, 5}).toIso8601(), "1969-12-31T23:59:59.000000005Z");
}

TEST(FileAttributes, BothDatesRoundTripWithNanoseconds)
{
    const std::string path = makeScratchFolder() + "/f";
    writeFile(path, "x");
    ASSERT_TRUE(setDates(path, kDates));
    EXPECT_EQ(readDates(path), kDates);

    char value[64] = {};
    ASSERT_GT(getxattr(path.c_str(), kCreationDateAttribute, value, sizeof value - 1), 0);
    EXPECT_STREQ(value, "978307200.123456789");
}

TEST(FileAttributes, CreationFallsBackToBirthTimeThenIgnoresBadAttributes)
{
    const std::string path = makeScratchFolder() + "/f";
    writeFile(path, "x");
    struct statx status {};
    ASSERT_EQ(statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &status), 0);
    const auto dates = readDates(path);
    ASSERT_TRUE(dates);
    if (status.stx_mask & STATX_BTIME)
        EXPECT_EQ(dates->creation, (FileTime{status.stx_btime.tv_sec, status.stx_btime.tv_nsec}));
    else
        EXPECT_EQ(dates->creation, dates->modification);

    for (const char* bad : {"12", "12.5", "x.123456789", ".123456789", "1.12345678x"}) {
        SCOPED_TRACE(bad);
        ASSERT_EQ(setxattr(path.c_str(), kCreationDateAttribute, bad, std::string(bad).size(), 0), 0);
        EXPECT_EQ(readDates(path)->creation, dates->creation);
    }
}

TEST(FileAttributes, FollowsAFinalSymlinkAndFailsOnMissingItems)
{
    const std::string folder = makeScratchFolder();
    writeFile(folder + "/target", "x");
    ASSERT_EQ(symlink("target", (folder + "/link").c_str()), 0);
    ASSERT_TRUE(setDates(folder + "/link", kDates));
    EXPECT_EQ(readDates(folder + "/target"), kDates);
    EXPECT_EQ(readDates(folder + "/link"), kDates);

    EXPECT_FALSE(readDates(folder + "/missing"));
    EXPECT_FALSE(setDates(folder + "/missing", kDates));
    EXPECT_FALSE(setDates(folder + "/target", {{0, 0}, {0, 1'000'000'000}}));
}

TEST(FileAttributes, FoldersCarryDatesToo)
{
    const std::string folder = makeScratchFolder() + "/sub";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(setDates(folder, kDates));
    EXPECT_EQ(readDates(folder), kDates);
}

} // namespace
} // namespace strataloom
