// What compaction and a thinning that re-bases reported as done survives a
// power cut: on a loop-mounted ext4 image, shut down without flushing its
// journal, then mounted again. Needs root and loop devices.
#include "Compaction.h"
#include "Nanoseconds.h"
#include "Thinning.h"
#include "support/Format4Store.h"
#include "support/LoopMount.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace strataloom {
namespace {

using namespace test;

TEST(RecordPowerCut, CompactionAndReBasingReportedDoneSurviveAPowerCut)
{
    LoopMountedImage disk;
    if (const std::string skip = disk.make("record-power-cut", "64M", "ext4", "mkfs.ext4 -q -F"); !skip.empty())
        GTEST_SKIP() << skip;
    const std::string location = disk.mountPoint() + "/store";
    const std::string notes = disk.mountPoint() + "/notes.txt";
    std::vector<std::string> revisions;
    for (int n = 0; n < 6; ++n)
        revisions.push_back(revision(n));
    writeFormat4Store(location, notes, revisions);
    // The earlier release's store was on the disk long before.
    sync();
    std::string error;
    ASSERT_TRUE(compactStore(location, {}, &error)) << error;
    ThinningOptions options;
    options.nowNs = nowNs() + 2 * 86'400'000'000'000;
    const auto thinned = thinStore(location, options, &error);
    ASSERT_TRUE(thinned) << error;
    ASSERT_EQ(thinned->removed, 4u);

    ASSERT_TRUE(disk.cutPowerAndRemount());

    EXPECT_EQ(revisionsOf(location, notes, revisions), revisionNames({0, 5}));
    EXPECT_EQ(recordKinds(location), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(checkStore(location).damaged, "");
}

} // namespace
} // namespace strataloom
