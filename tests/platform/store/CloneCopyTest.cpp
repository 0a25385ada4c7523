// On file systems that clone (btrfs, XFS) a version's copy shares the source's
// extents and its checksum is taken from the source, not read back from the
// clone. Whatever happens to the source between the clone and that read, the
// stored bytes must be one state of it and match the checksum recorded. Each
// file system is a loop-mounted image; needs root, loop devices and its mkfs.
#include "ContentHash.h"
#include "FileDescriptor.h"
#include "VerifiedCopy.h"
#include "support/LoopMount.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace strataloom::store {
namespace {

using namespace test;

class CloneCopy : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        const std::string type = GetParam();
        if (const std::string skip = disk.make("clone", "320M", type, "mkfs." + type + " -q -f"); !skip.empty())
            GTEST_SKIP() << skip;
        mountPoint = disk.mountPoint();
    }

    void TearDown() override { setCopyStepHookForTests({}); }

    LoopMountedImage disk;
    std::string mountPoint;
};

enum class Change { None, Write, MappedStore };

// A source changed a moment ago and one left to rest, each left alone or
// changed right after the clone by a write or by a store through a mapping
// made before the copy.
TEST_P(CloneCopy, TheStoredCloneIsOneStateAndMatchesItsChecksum)
{
    const std::size_t size = 4 << 20;
    const std::string source = mountPoint + "/document";
    const struct {
        const char* name;
        bool rested;
        Change change;
    } rows[] = {
        {"recent, unchanged", false, Change::None},
        {"recent, written", false, Change::Write},
        {"recent, stored through a mapping", false, Change::MappedStore},
        {"rested, unchanged", true, Change::None},
        {"rested, written", true, Change::Write},
        {"rested, stored through a mapping", true, Change::MappedStore},
    };
    unsigned copies = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(source, std::string(size, 'a'));
        UniqueFd fd(open(source.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(fdatasync(fd.get()), 0);
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        ASSERT_NE(mapped, MAP_FAILED);
        if (row.rested) // past the moment in which a write could leave the times as they were
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        bool changed = false;
        setCopyStepHookForTests([&](std::uint64_t) {
            if (changed || row.change == Change::None)
                return;
            changed = true;
            if (row.change == Change::MappedStore)
                std::memset(mapped, 'b', size);
            else
                writeFile(source, std::string(size, 'b'));
        });
        const std::string copy = mountPoint + "/copy-" + std::to_string(++copies);
        UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
        UniqueFd out(open(copy.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        ASSERT_TRUE(in.valid() && out.valid());
        char buffer[4096];
        std::string error;
        const auto result = copyVerified(in.get(), out.get(), buffer, sizeof buffer, source, true, &error);
        setCopyStepHookForTests({});
        munmap(mapped, size);
        ASSERT_TRUE(result) << error;
        const std::string stored = readFile(copy);
        EXPECT_TRUE(stored == std::string(size, row.change == Change::None ? 'a' : 'b')) << "not the last state";
        EXPECT_EQ(result->checksum, test::checksumOfPath(copy));
    }
}

// A document is taken as holding known contents (its newest version) without
// a copy or a read only while it shares every extent of their file and rested
// before the look; the checksum claimed for them shows which way was taken.
TEST_P(CloneCopy, KnownContentsAreTrustedOnlyForAnUntouchedRestedCloneOfTheirFile)
{
    const std::size_t size = 4 << 20;
    const std::string claimed(16, 'z');
    const struct {
        const char* name;
        bool knownIsClone; // else a copy of the same bytes
        bool rewritten; // one block of the document written again, same bytes
        bool rested;
        bool matches;
    } rows[] = {
        {"a rested clone of the known file", true, false, true, true},
        {"a rested copy of the known bytes", false, false, true, false},
        {"a clone of the known file changed a moment ago", true, false, false, false},
        {"a rested clone with a block written again", true, true, true, false},
    };
    unsigned made = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string document = mountPoint + "/document-" + std::to_string(++made);
        const std::string knownPath = mountPoint + "/known-" + std::to_string(made);
        writeFile(knownPath, std::string(size, 'a'));
        if (row.knownIsClone) {
            UniqueFd from(open(knownPath.c_str(), O_RDONLY | O_CLOEXEC));
            UniqueFd to(open(document.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            ASSERT_EQ(ioctl(to.get(), FICLONE, from.get()), 0);
            if (row.rewritten) {
                ASSERT_EQ(pwrite(to.get(), "aaaa", 4, 8192), 4);
            }
        } else {
            writeFile(document, std::string(size, 'a'));
        }
        if (row.rested)
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        UniqueFd in(open(document.c_str(), O_RDONLY | O_CLOEXEC));
        UniqueFd knownFile(open(knownPath.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(in.valid() && knownFile.valid());
        const auto matched = matchKnown(in.get(), {knownFile.get(), claimed});
        ASSERT_EQ(matched.has_value(), row.matches);
        if (matched) {
            EXPECT_EQ(matched->checksum, claimed);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, CloneCopy, testing::Values("btrfs", "xfs"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
} // namespace strataloom::store
