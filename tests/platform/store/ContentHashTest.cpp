#include "ContentHash.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>

using namespace strataloom;

namespace {

constexpr std::size_t kSmallBuffer = 4096;

std::string pattern(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return data;
}

std::optional<std::string> checksumOfPath(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    auto checksum = checksumOfFile(fd);
    close(fd);
    return checksum;
}

// Copies `in` into a new file at `path` the way the store does.
std::optional<std::string> copyInto(int in, const std::string& path)
{
    const int out = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0)
        return std::nullopt;
    char buffer[kSmallBuffer];
    auto checksum = copyChecksummed(in, out, buffer, sizeof buffer);
    close(out);
    return checksum;
}

} // namespace

// Empty, single-byte and multi-chunk contents: the copy is byte for byte the
// source, and the checksum returned is the one a later full read computes.
TEST(ContentHash, TheCopyIsExactAndItsChecksumIsTheStoredBytes)
{
    const std::string folder = test::makeScratchFolder();
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, 3 * kSmallBuffer * 64 + 7}) {
        SCOPED_TRACE(size);
        const std::string source = folder + "/source-" + std::to_string(size);
        const std::string copy = folder + "/copy-" + std::to_string(size);
        test::writeFile(source, pattern(size));
        const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(in, 0);
        const auto checksum = copyInto(in, copy);
        close(in);
        ASSERT_TRUE(checksum);
        EXPECT_EQ(checksum->size(), kChecksumSize);
        EXPECT_EQ(test::readFile(copy), pattern(size));
        EXPECT_EQ(checksumOfPath(copy), checksum);
        EXPECT_EQ(checksumOfPath(source), checksum);
    }
}

// A source the kernel cannot copy from (a pipe) goes through the buffer and
// must give the same bytes and checksum.
TEST(ContentHash, ContentsFromAPipeMatchTheSameContentsFromAFile)
{
    const std::string folder = test::makeScratchFolder();
    const std::string data = pattern(15 * kSmallBuffer + 3);
    test::writeFile(folder + "/source", data);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(ends[1]);
    const auto checksum = copyInto(ends[0], folder + "/copy");
    close(ends[0]);

    ASSERT_TRUE(checksum);
    EXPECT_EQ(test::readFile(folder + "/copy"), data);
    EXPECT_EQ(checksumOfPath(folder + "/source"), checksum);
}

// A single changed byte far past the first chunk changes the checksum, and an
// unreadable file has none.
TEST(ContentHash, AChangedByteChangesTheChecksumAndAFailedReadHasNone)
{
    const std::string folder = test::makeScratchFolder();
    std::string data = pattern(10 * kSmallBuffer * 64);
    test::writeFile(folder + "/a", data);
    data[data.size() - 2] ^= 0x01;
    test::writeFile(folder + "/b", data);
    const auto a = checksumOfPath(folder + "/a");
    const auto b = checksumOfPath(folder + "/b");
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);

    const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    EXPECT_FALSE(checksumOfFile(directory));
    close(directory);
}
