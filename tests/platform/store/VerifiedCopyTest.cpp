#include "VerifiedCopy.h"
#include "ContentHash.h"
#include "FileDescriptor.h"
#include "support/LoopMount.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {
namespace {

using namespace test;

// Steps of 256 KiB.
constexpr std::size_t kBufferSize = 4096;
constexpr std::uint64_t kMiB = 1 << 20;

// Where sources are made: beside the copies, where the kernel copies, and in
// /dev/shm when there is one, a file system the kernel cannot copy from into
// another, so the copy goes through the buffer.
std::vector<std::string> sourceFolders()
{
    std::vector<std::string> folders{makeScratchFolder("sources")};
    std::string shared = "/dev/shm/strataloom-test-XXXXXX";
    if (mkdtemp(shared.data()))
        folders.push_back(shared);
    return folders;
}

struct DataRun {
    std::uint64_t offset;
    std::size_t size;
    char byte;
};

// A file of `length` bytes holding only `runs`; the rest are holes where the
// file system keeps them.
void makeFile(const std::string& path, std::uint64_t length, const std::vector<DataRun>& runs)
{
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    for (const DataRun& run : runs) {
        const std::string data(run.size, run.byte);
        ASSERT_EQ(pwrite(fd.get(), data.data(), data.size(), static_cast<off_t>(run.offset)),
                  static_cast<ssize_t>(data.size()));
    }
    ASSERT_EQ(ftruncate(fd.get(), static_cast<off_t>(length)), 0);
}

class CopyVerified : public testing::Test {
protected:
    void TearDown() override
    {
        setCopyStepHookForTests({});
        for (std::size_t i = 1; i < sources.size(); ++i)
            std::filesystem::remove_all(sources[i]);
    }

    // Copies `source` into a new file in the copies' folder.
    std::optional<VerifiedCopy> copy(const std::string& source, struct stat* stored = nullptr)
    {
        UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
        copyPath = copies + "/copy-" + std::to_string(++copied);
        UniqueFd out(open(copyPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!in.valid() || !out.valid())
            return std::nullopt;
        auto result = copyVerified(in.get(), out.get(), buffer, sizeof buffer, source, false, &error);
        if (stored)
            fstat(out.get(), stored);
        return result;
    }

    std::vector<std::string> sources = sourceFolders();
    std::string copies = makeScratchFolder("copies");
    std::string copyPath;
    std::string error;
    unsigned copied = 0;
    char buffer[kBufferSize];
};

// Every layout of data and holes, through the kernel's copy and the buffer's:
// the copy is byte for byte the source, as long as it, takes no more room
// than the source's data, and its checksum is that of a plain read.
TEST_F(CopyVerified, TheCopyIsExactKeepsItsHolesAndHasAPlainReadsChecksum)
{
    const struct {
        const char* name;
        std::uint64_t length;
        std::vector<DataRun> runs;
    } layouts[] = {
        {"empty", 0, {}},
        {"one byte", 1, {{0, 1, 'x'}}},
        {"several steps", 3 * 256 * 1024 + 7, {{0, 3 * 256 * 1024 + 7, 'x'}}},
        {"only a hole", 8 * kMiB, {}},
        {"hole, data, hole", 8 * kMiB, {{4 * kMiB, 4096, 'x'}}},
        {"data, hole, data", 8 * kMiB + 3, {{0, 5000, 'x'}, {8 * kMiB - 1000, 1003, 'y'}}},
    };
    for (const std::string& folder : sources) {
        for (const auto& layout : layouts) {
            SCOPED_TRACE(folder + ": " + layout.name);
            const std::string source = folder + "/source";
            makeFile(source, layout.length, layout.runs);
            struct stat stored {};
            const auto result = copy(source, &stored);
            ASSERT_TRUE(result) << error;
            EXPECT_TRUE(readFile(copyPath) == readFile(source)) << "the copy differs";
            EXPECT_EQ(result->checksum, test::checksumOfPath(source));
            struct stat original {};
            ASSERT_EQ(stat(source.c_str(), &original), 0);
            if (allocatedBytes(original) < layout.length / 2) {
                EXPECT_LE(allocatedBytes(stored), allocatedBytes(original) + 64 * 1024);
            }
        }
    }
}

// A write that began before the copy has stamped the source's times already;
// its bytes landing in the middle of the copy change no size or time. Stores
// through a mapping whose pages are already dirty do just that. The copy made
// meanwhile holds parts of both states and must not be taken.
TEST_F(CopyVerified, AWriteInProgressDuringTheCopyIsNeverTakenMixed)
{
    for (const std::string& folder : sources) {
        SCOPED_TRACE(folder);
        const std::string source = folder + "/document";
        const std::size_t size = 4 * 256 * 1024;
        writeFile(source, std::string(size, 'a'));
        UniqueFd fd(open(source.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd.valid());
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        ASSERT_NE(mapped, MAP_FAILED);
        char* pages = static_cast<char*>(mapped);
        for (std::size_t offset = 0; offset < size; offset += 4096)
            pages[offset] = 'a';
        struct stat before {};
        ASSERT_EQ(fstat(fd.get(), &before), 0);

        unsigned steps = 0;
        setCopyStepHookForTests([&](std::uint64_t) {
            if (steps++ == 0)
                std::memset(pages, 'b', size);
        });
        const auto result = copy(source);
        setCopyStepHookForTests({});
        struct stat after {};
        ASSERT_EQ(fstat(fd.get(), &after), 0);
        munmap(mapped, size);
        EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec) << "the write was stamped: nothing to detect";

        ASSERT_TRUE(result) << error;
        EXPECT_TRUE(readFile(copyPath) == std::string(size, 'b')) << "the copy mixes two states";
        EXPECT_EQ(result->checksum, test::checksumOfPath(source));
        EXPECT_GT(steps, 4u) << "copied once only";
    }
}

// A copy synced while it is verified fails when the disk cannot take it: the
// kernel reports a write-back error to one fdatasync() per open file only, so
// a copy that let it pass would be taken as durable by every later sync of
// it. The disk is an ext4 image on a small tmpfs that is then filled, so the
// copy's blocks cannot be written. Needs root and loop devices.
TEST(CopyVerifiedOnAFullDisk, ACopyTheDiskCannotWriteFailsAndSaysSo)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    const std::string folder = makeScratchFolder("full-disk");
    const std::string backing = folder + "/backing";
    const std::string mountPoint = folder + "/mnt";
    std::filesystem::create_directories(backing);
    std::filesystem::create_directories(mountPoint);
    if (runQuietly("mount -t tmpfs -o size=40M tmpfs '" + backing + "'") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string backing, mountPoint;
        ~Unmount()
        {
            runQuietly("umount '" + mountPoint + "'");
            runQuietly("umount '" + backing + "'");
        }
    } unmount{backing, mountPoint};
    const std::string image = backing + "/disk.img";
    if (runQuietly("truncate -s 256M '" + image + "' && mkfs.ext4 -q -F '" + image + "'") != 0
        || runQuietly("mount -o loop '" + image + "' '" + mountPoint + "'") != 0)
        GTEST_SKIP() << "cannot make and loop-mount an ext4 image";
    const std::string source = mountPoint + "/source";
    writeFile(source, std::string(4 * kMiB, 'x'));
    ASSERT_NE(runQuietly("sync -f '" + source + "' && dd if=/dev/zero of='" + backing + "/filler' bs=1M"), 0)
        << "the tmpfs was not filled";

    UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(open((mountPoint + "/copy").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(in.valid() && out.valid());
    char buffer[kBufferSize];
    std::string error;
    EXPECT_FALSE(copyVerified(in.get(), out.get(), buffer, sizeof buffer, source, true, &error));
    EXPECT_NE(error.find("to disk"), std::string::npos) << error;
}

} // namespace
} // namespace strataloom::store
