// Two files read the same when they share their extents: a clone and its
// source do, until either is written; a copy of the same bytes, a file cut or
// grown, or a file system that shares nothing does not. A wrong "same" would
// store a version as contents it does not hold, so every doubt must say no.
// Each file system is a loop-mounted image; needs root, loop devices and mkfs.
#include "SharedExtents.h"
#include "FileDescriptor.h"
#include "support/LoopMount.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace strataloom {
namespace {

using namespace test;

struct FileSystem {
    const char* type;
    const char* mkfs;
    bool clones;
};

void PrintTo(const FileSystem& fileSystem, std::ostream* out)
{
    *out << fileSystem.type;
}

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

UniqueFd openFile(const std::string& path, int flags = O_RDWR)
{
    return UniqueFd(open(path.c_str(), flags | O_CLOEXEC, 0600));
}

class SharedExtents : public testing::TestWithParam<FileSystem> {
protected:
    void SetUp() override
    {
        if (const std::string skip = disk.make("extents", "320M", GetParam().type, GetParam().mkfs); !skip.empty())
            GTEST_SKIP() << skip;
        mountPoint = disk.mountPoint();
    }

    // A clone of `source` at `path`, or a plain copy where nothing clones.
    void cloneInto(const std::string& source, const std::string& path)
    {
        UniqueFd in = openFile(source, O_RDONLY), out = openFile(path, O_RDWR | O_CREAT | O_EXCL);
        ASSERT_TRUE(in.valid() && out.valid());
        if (ioctl(out.get(), FICLONE, in.get()) != 0) {
            ASSERT_FALSE(GetParam().clones) << "cannot clone on " << GetParam().type;
            writeFile(path, readFile(source));
        }
    }

    LoopMountedImage disk;
    std::string mountPoint;
};

TEST_P(SharedExtents, OnlyAnUntouchedCloneReadsTheSameWithoutReading)
{
    const std::size_t size = 3 << 20;
    const std::string contents = randomBytes(size, 1);
    const struct {
        const char* name;
        // Makes `other` from `source` (both paths), however the row says.
        std::function<void(const std::string&, const std::string&)> make;
        bool same;
    } rows[] = {
        {"a clone", [&](const std::string& source, const std::string& other) { cloneInto(source, other); }, true},
        {"a clone of a clone",
         [&](const std::string& source, const std::string& other) {
             cloneInto(source, other + ".between");
             cloneInto(other + ".between", other);
         },
         true},
        {"a copy of the same bytes", [&](const std::string&, const std::string& other) { writeFile(other, contents); },
         false},
        {"a clone with one block written again, same bytes",
         [&](const std::string& source, const std::string& other) {
             cloneInto(source, other);
             UniqueFd fd = openFile(other);
             ASSERT_EQ(pwrite(fd.get(), contents.data() + 8192, 4096, 8192), 4096);
         },
         false},
        {"a clone with its last byte cut",
         [&](const std::string& source, const std::string& other) {
             cloneInto(source, other);
             ASSERT_EQ(truncate(other.c_str(), size - 1), 0);
         },
         false},
        {"a clone grown by a hole",
         [&](const std::string& source, const std::string& other) {
             cloneInto(source, other);
             ASSERT_EQ(truncate(other.c_str(), size + 4096), 0);
         },
         false},
        {"a clone written to, unsynced",
         [&](const std::string& source, const std::string& other) {
             cloneInto(source, other);
             UniqueFd fd = openFile(other);
             ASSERT_EQ(pwrite(fd.get(), "x", 1, size / 2), 1);
         },
         false},
    };
    int made = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string source = mountPoint + "/source-" + std::to_string(++made);
        const std::string other = mountPoint + "/other-" + std::to_string(made);
        writeFile(source, contents);
        row.make(source, other);
        UniqueFd one = openFile(source, O_RDONLY), two = openFile(other, O_RDONLY);
        ASSERT_TRUE(one.valid() && two.valid());
        EXPECT_EQ(sameExtents(one.get(), two.get()), row.same && GetParam().clones);
        EXPECT_EQ(sameExtents(two.get(), one.get()), row.same && GetParam().clones);
    }
}

// Holes are part of the map: a sparse file's clone is the same, and a file is
// never "the same" as itself opened twice (nothing tells two files apart then).
TEST_P(SharedExtents, HolesCountAndAFileIsNotComparedWithItself)
{
    const std::string source = mountPoint + "/sparse";
    {
        UniqueFd fd = openFile(source, O_RDWR | O_CREAT | O_EXCL);
        const std::string data = randomBytes(65536, 2);
        ASSERT_EQ(pwrite(fd.get(), data.data(), data.size(), 1 << 20), static_cast<ssize_t>(data.size()));
        ASSERT_EQ(ftruncate(fd.get(), 4 << 20), 0);
        ASSERT_EQ(fdatasync(fd.get()), 0);
    }
    cloneInto(source, mountPoint + "/sparse-clone");
    UniqueFd one = openFile(source, O_RDONLY), again = openFile(source, O_RDONLY),
             clone = openFile(mountPoint + "/sparse-clone", O_RDONLY);
    EXPECT_EQ(sameExtents(one.get(), clone.get()), GetParam().clones);
    EXPECT_FALSE(sameExtents(one.get(), again.get()));
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SharedExtents,
                         testing::Values(FileSystem{"btrfs", "mkfs.btrfs -q -f", true},
                                         FileSystem{"xfs", "mkfs.xfs -q -f", true},
                                         FileSystem{"ext4", "mkfs.ext4 -q -F", false}),
                         [](const testing::TestParamInfo<FileSystem>& info) { return std::string(info.param.type); });

} // namespace
} // namespace strataloom
