// What an add or an unarchive reported as done survives a power cut: the test
// loop-mounts a fresh image, works on it, shuts the file system down without
// flushing its journal (as file-system test suites simulate a power cut),
// mounts it again and reads everything back. On XFS the stored copies are
// clones, synced while they are verified, and a large document saved again
// unchanged names its stored clone without a read or a sync of its own.
// Needs root and loop devices.
#include "ArchiveOperation.h"
#include "FileVersionStore.h"
#include "UnarchiveOperation.h"
#include "support/ArchiveTestSupport.h"
#include "support/LoopMount.h"
#include "support/OperationTestSupport.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

struct FileSystem {
    const char* name;
    const char* type;
    const char* mkfs;
};

void PrintTo(const FileSystem& fileSystem, std::ostream* out)
{
    *out << fileSystem.name;
}

// With the journal, one sync covers a batch; without, each file is synced.
class PowerCut : public testing::TestWithParam<FileSystem> {
protected:
    void SetUp() override
    {
        // XFS takes no image under 300 MB.
        const std::string skip = disk.make("power-cut", "320M", GetParam().type, GetParam().mkfs);
        if (!skip.empty())
            GTEST_SKIP() << skip;
        mountPoint = disk.mountPoint();
    }

    LoopMountedImage disk;
    std::string mountPoint;
};

TEST_P(PowerCut, WhatWasReportedDoneIsThereByteForByteAfterward)
{
    const std::string location = mountPoint + "/store";
    const std::string document = mountPoint + "/Report.txt";
    const std::string folder = mountPoint + "/Report versions";
    const std::string picture = mountPoint + "/Picture.raw";
    const std::string unarchived = mountPoint + "/Restored.txt";
    const std::string archive = mountPoint + "/Archived";
    fs::create_directories(folder);
    std::vector<std::string> saved;
    std::vector<std::string> pictures;
    std::vector<std::string> entries;
    {
        FileVersionStore store(location);
        for (int i = 0; i < 5; ++i) {
            saved.push_back("save " + std::to_string(i) + std::string(40000 + i, 'x'));
            writeFile(document, saved.back());
            std::string error;
            ASSERT_TRUE(store.saveVersionOfItem(FileUrl::fromPath(document), &error)) << error;
        }
        // Incompressible, and past what is packed or read cheaper than mapped.
        std::string bytes(2 << 20, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
        pictures = {bytes, bytes, bytes.substr(0, bytes.size() / 2)};
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            // The second save finds it untouched, and at rest since the first
            // tagged it, as a document saved again unchanged is.
            if (i == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            else
                writeFile(picture, pictures[i]);
            std::string error;
            ASSERT_TRUE(store.saveVersionOfItem(FileUrl::fromPath(picture), &error)) << error;
        }
        for (int i = 0; i < 300; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Report%05d.txt", i);
            entries.push_back("entry " + std::to_string(i) + std::string(5000, 'y'));
            writeFile(folder + "/" + name, entries.back());
        }
        RecordingReporter reporter;
        const auto source = listUnarchiveSource(FileUrl::directoryFromPath(folder), reporter);
        ASSERT_TRUE(source);
        const auto archived = writeVersionsArchive(kResponseOK, FileUrl::directoryFromPath(archive),
                                                   FileUrl::fromPath(document), "Report", ".txt", store, reporter);
        ASSERT_EQ(archived, ArchiveOutcome::Written);
        ASSERT_EQ(writeUnarchivedFile(kResponseOK, FileUrl::fromPath(unarchived), source->lastFilePath, source->names,
                                      source->folder, store, reporter),
                  UnarchiveOutcome::Written);
    }
    // The entries were written moments ago and are not part of what was
    // promised; what the store holds must not depend on them.
    ASSERT_TRUE(disk.cutPowerAndRemount());

    FileVersionStore store(location);
    expectVersionsRead(location, document, saved);
    for (std::size_t i = 0; i < saved.size(); ++i)
        EXPECT_EQ(readFile(archive + "/Report0000" + std::to_string(i) + ".txt"), saved[i]) << i;
    expectVersionsRead(location, picture, pictures);
    const auto pictureVersions = store.otherVersionsOfItem(FileUrl::fromPath(picture)).value();
    EXPECT_EQ(pictureVersions.at(1).storedAt()->record, pictureVersions.at(0).storedAt()->record);
    EXPECT_EQ(readFile(unarchived), entries.back());
    expectVersionsRead(location, unarchived, std::vector<std::string>(entries.begin(), entries.end() - 1));
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PowerCut,
                         testing::Values(FileSystem{"Ext4WithJournal", "ext4", "mkfs.ext4 -q -F"},
                                         FileSystem{"Ext4WithoutJournal", "ext4", "mkfs.ext4 -q -F -O ^has_journal"},
                                         FileSystem{"XfsCloning", "xfs", "mkfs.xfs -q -f"}),
                         [](const testing::TestParamInfo<FileSystem>& info) { return std::string(info.param.name); });

} // namespace
} // namespace strataloom
