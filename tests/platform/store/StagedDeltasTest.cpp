#include "IndexRebuild.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace store;
using namespace test;

// A text of about 60 KiB that compresses too little to be packed: an odd
// revision has a token on every fifth line, which makes its delta too long to
// pack; an even one edits three lines.
std::string unpackableRevision(int n)
{
    // Appended piece by piece: GCC 12's release build misjudges a chain of
    // temporaries here.
    const auto token = [](long a, long b) {
        return std::to_string(std::hash<long>()(a * 7919 + b) * 0x9e3779b97f4a7c15ULL);
    };
    std::string text;
    for (int line = 0; line < 1500; ++line) {
        text.append("Line ").append(std::to_string(line)).append(" ").append(token(line, -1));
        if (n % 2 ? line % 5 == 0 : line % 500 == n % 500)
            text.append(" ").append(token(n, line)).append(token(line, n));
        text.append("\n");
    }
    return text;
}

// Versions staged together (an unarchive) become deltas of the next one as
// they are staged, the last one whole: chains stay within kMaxChain, no whole
// copy is left behind, a check finds nothing amiss, and an index rebuilt from
// the log, which holds each delta before the version it is made against,
// reads every version back.
TEST(StagedDeltas, VersionsStagedTogetherAreDeltasThatCheckAndSurviveARebuild)
{
    const std::string location = FileVersionStore::defaultLocation();
    FileVersionStore store;
    const std::string path = makeScratchFolder("documents") + "/Handbook.txt";
    writeFile(path, "the unarchived file");
    const FileUrl document = FileUrl::fromPath(path);
    ASSERT_TRUE(store.beginVersionsOfNewItem(document));
    const std::string staging = makeScratchFolder("staging");
    std::vector<std::string> saved;
    for (int n = 0; n < kMaxChain + 10; ++n) {
        saved.push_back(unpackableRevision(n));
        writeFile(staging + "/" + std::to_string(n), saved.back());
        ASSERT_TRUE(store.stageVersion(FileUrl::fromPath(staging + "/" + std::to_string(n))));
    }
    std::string error;
    ASSERT_TRUE(store.commitVersions(&error)) << error;

    const auto count = [&](const char* where) {
        return indexValue(location, std::string("SELECT COUNT(*) FROM records WHERE ") + where);
    };
    expectVersionsRead(location, path, saved);
    EXPECT_LE(indexValue(location, "SELECT MAX(height) FROM records"), kMaxChain);
    EXPECT_GE(count("kind = 1 AND packed IS NOT NULL"), 10);
    EXPECT_GE(count("kind = 1 AND packed IS NULL"), 10);
    EXPECT_GE(count("kind = 1"), static_cast<std::int64_t>(saved.size()) - 3);
    const auto versions = store.otherVersionsOfItem(document);
    std::int64_t files = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(versions->back().URL().path()).parent_path()))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, count("packed IS NULL"));
    const CheckFindings findings = checkStore(location);
    EXPECT_EQ(findings.damaged + std::to_string(findings.unreferenced), "0");

    loseIndex(location);
    RebuildResult result;
    ASSERT_TRUE(rebuildIndex(StoreLayout(location), result, [&](const std::string& why) { ADD_FAILURE() << why; }));
    EXPECT_EQ(result.versions, saved.size());
    EXPECT_EQ(result.droppedVersions, 0u);
    expectVersionsRead(location, path, saved);
}

// Versions unlike their neighbours, which still compress (text of 64
// symbols, about three quarters of its size), are compressed as they are
// staged rather than kept whole.
TEST(StagedDeltas, VersionsUnlikeTheirNeighboursAreCompressed)
{
    const std::string location = FileVersionStore::defaultLocation();
    FileVersionStore store;
    const std::string path = makeScratchFolder("documents") + "/Notes.txt";
    writeFile(path, "the unarchived file");
    ASSERT_TRUE(store.beginVersionsOfNewItem(FileUrl::fromPath(path)));
    const std::string staging = makeScratchFolder("staging");
    const std::string symbols = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::string> saved;
    for (int n = 0; n < 3; ++n) {
        std::mt19937 random(static_cast<std::uint32_t>(n + 1));
        std::string text;
        for (int i = 0; i < 20000; ++i)
            text += symbols[random() >> 26];
        saved.push_back(text);
        writeFile(staging + "/" + std::to_string(n), text);
        ASSERT_TRUE(store.stageVersion(FileUrl::fromPath(staging + "/" + std::to_string(n))));
    }
    std::string error;
    ASSERT_TRUE(store.commitVersions(&error)) << error;
    // All but the last one staged, which stays whole.
    EXPECT_EQ(indexValue(location, "SELECT COUNT(*) FROM records WHERE kind = 2"), 2);
    EXPECT_EQ(indexValue(location, "SELECT COUNT(*) FROM records WHERE kind = 0"), 1);
    expectVersionsRead(location, path, saved);
}

// More versions than one batch takes: the last of each batch, left whole,
// becomes a delta once the next batch is in, and no chain grows past
// kMaxChain across the batches.
TEST(StagedDeltas, ChainsStayBoundedAcrossBatches)
{
    const std::string location = FileVersionStore::defaultLocation();
    FileVersionStore store;
    const std::string path = makeScratchFolder("documents") + "/Log.txt";
    writeFile(path, "the unarchived file");
    ASSERT_TRUE(store.beginVersionsOfNewItem(FileUrl::fromPath(path)));
    const std::string staging = makeScratchFolder("staging");
    std::vector<std::string> saved;
    std::string text;
    for (std::size_t n = 0; n < FileVersionStore::kBatchSize + 40; ++n) {
        text.append("Entry ").append(std::to_string(n * 7919)).append(" of the log\n");
        saved.push_back(text);
        writeFile(staging + "/" + std::to_string(n), text);
        ASSERT_TRUE(store.stageVersion(FileUrl::fromPath(staging + "/" + std::to_string(n))));
    }
    std::string error;
    ASSERT_TRUE(store.commitVersions(&error)) << error;
    EXPECT_LE(indexValue(location, "SELECT MAX(height) FROM records"), kMaxChain);
    EXPECT_LE(indexValue(location, "SELECT COUNT(*) FROM records WHERE kind = 0"), 1);
    const CheckFindings findings = checkStore(location);
    EXPECT_EQ(findings.damaged + std::to_string(findings.unreferenced), "0");
    expectVersionsRead(location, path, saved);
}

} // namespace
} // namespace strataloom
