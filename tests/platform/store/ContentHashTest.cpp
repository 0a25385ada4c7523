#include "ContentHash.h"
#include "support/StoredContents.h"
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

} // namespace

// Holes at the start, in the middle and at the end count as the zeros a plain
// read gives; a size past the end gives the checksum of what the file holds,
// and one short of it another; what cannot be read has none.
TEST(ContentHash, ContentsWithHolesHaveThePlainReadsChecksum)
{
    const std::string path = test::makeScratchFolder() + "/sparse";
    const std::string data = pattern(3 * kSmallBuffer + 5);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 1 << 20), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 3 << 20), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(ftruncate(fd, 5 << 20), 0);
    char buffer[kSmallBuffer];
    const auto plain = test::checksumOfPath(path);
    ASSERT_TRUE(plain);
    EXPECT_EQ(checksumOfContents(fd, 5 << 20, buffer, sizeof buffer), plain);
    EXPECT_EQ(checksumOfContents(fd, 6 << 20, buffer, sizeof buffer), plain);
    EXPECT_NE(checksumOfContents(fd, (3 << 20) + 1, buffer, sizeof buffer), plain);
    // A single byte changed far past the first chunk changes it too.
    ASSERT_EQ(pwrite(fd, "\x7f", 1, (3 << 20) + data.size() - 2), 1);
    EXPECT_NE(test::checksumOfPath(path), plain);
    close(fd);
    const int directory = open(test::makeScratchFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    EXPECT_FALSE(checksumOfFile(directory));
    close(directory);
}
