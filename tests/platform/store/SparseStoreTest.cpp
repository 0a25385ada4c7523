// Another user's sparse files cannot fill the store's file system: on a small
// loop-mounted ext4, versions, archive entries and unarchived files of sparse
// files far larger in length than the file system all fit. Needs root and
// loop devices.
#include "DurableBatch.h"
#include "FileDescriptor.h"
#include "FileVersionStore.h"
#include "ItemCopy.h"
#include "support/LoopMount.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

std::uint64_t usedBytes(const std::string& path)
{
    struct statvfs status {};
    EXPECT_EQ(statvfs(path.c_str(), &status), 0);
    return static_cast<std::uint64_t>(status.f_blocks - status.f_bfree) * status.f_frsize;
}

class SparseStore : public testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string skip = disk.make("sparse-store", "300M", "ext4", "mkfs.ext4 -q -F"); !skip.empty())
            GTEST_SKIP() << skip;
        mountPoint = disk.mountPoint();
    }

    LoopMountedImage disk;
    std::string mountPoint;
};

TEST_F(SparseStore, EightSparseFilesOf48MiBFitAStoreOf300MiB)
{
    const std::string sources = makeScratchFolder("sparse-sources");
    const std::string archive = mountPoint + "/archive";
    const std::string unarchived = mountPoint + "/unarchived";
    fs::create_directories(archive);
    fs::create_directories(unarchived);
    const std::uint64_t usedBefore = usedBytes(mountPoint);
    FileVersionStore store(mountPoint + "/store");
    UniqueFd archiveFolder(open(archive.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    DurableBatch batch;
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "sparse" + std::to_string(i);
        const std::string source = sources + "/" + name;
        {
            UniqueFd fd(open(source.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            ASSERT_TRUE(fd.valid());
            const std::string data(4096, static_cast<char>('a' + i));
            ASSERT_EQ(pwrite(fd.get(), data.data(), data.size(), static_cast<off_t>(i) << 20), 4096);
            ASSERT_EQ(ftruncate(fd.get(), 48 << 20), 0);
        }
        std::string error;
        const auto version = store.saveVersionOfItem(FileUrl::fromPath(source), &error);
        ASSERT_TRUE(version) << error;
        const std::string stored = version->URL().path();
        ASSERT_TRUE(copyFileInto(stored, archiveFolder.get(), archive, name, batch, &error)) << error;
        ASSERT_TRUE(copyItem(archive + "/" + name, unarchived + "/" + name, &error)) << error;
        for (const std::string& copy : {stored, archive + "/" + name, unarchived + "/" + name})
            EXPECT_EQ(runQuietly("cmp '" + copy + "' '" + source + "'"), 0) << copy << " differs";
    }
    std::string error;
    ASSERT_TRUE(batch.flush(&error)) << error;
    EXPECT_LT(usedBytes(mountPoint) - usedBefore, std::uint64_t{16} << 20);
}

} // namespace
} // namespace strataloom
