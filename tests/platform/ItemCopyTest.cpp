#include "platform/FileAttributes.h"
#include "platform/ItemCopy.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace strataloom {
namespace {

using test::makeScratchFolder;
using test::readFile;
using test::writeFile;

const FileDates kDates{{978'307'200, 111'111'111}, {1'577'934'245, 222'222'222}};

mode_t modeOf(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mode;
}

class ItemCopy : public testing::Test {
protected:
    std::string folder = makeScratchFolder("copy");
    std::error_code error;
};

TEST_F(ItemCopy, FileKeepsContentsPermissionsDatesAndUserAttributes)
{
    const std::string source = folder + "/source";
    std::string contents(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<char>(i * 31 % 251);
    writeFile(source, contents);
    ASSERT_EQ(chmod(source.c_str(), 0640), 0);
    ASSERT_EQ(setxattr(source.c_str(), "user.comment", "hello", 5, 0), 0);
    ASSERT_EQ(setxattr(source.c_str(), "user.strataloom.id", "0123456789abcdef0123456789abcdef", 32, 0), 0);
    ASSERT_TRUE(setDates(source, kDates));

    const std::string copy = folder + "/copy";
    ASSERT_TRUE(copyItem(source, copy, error)) << error.message();
    EXPECT_EQ(readFile(copy), contents);
    EXPECT_EQ(modeOf(copy) & 07777, 0640u);
    EXPECT_EQ(readDates(copy), kDates);
    char value[16] = {};
    EXPECT_EQ(getxattr(copy.c_str(), "user.comment", value, sizeof value), 5);
    EXPECT_STREQ(value, "hello");
    // A document's identity belongs to the original only.
    EXPECT_LT(getxattr(copy.c_str(), "user.strataloom.id", value, sizeof value), 0);
}

TEST_F(ItemCopy, NeverReplacesAnythingAtTheDestination)
{
    const std::string source = folder + "/source";
    writeFile(source, "new");
    writeFile(folder + "/file", "old");
    ASSERT_EQ(mkdir((folder + "/folder").c_str(), 0755), 0);
    writeFile(folder + "/target", "target");
    ASSERT_EQ(symlink("target", (folder + "/link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (folder + "/dangling").c_str()), 0);

    for (const char* name : {"file", "folder", "link", "dangling"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(copyItem(source, folder + "/" + name, error));
        EXPECT_EQ(error, std::errc::file_exists);
    }
    EXPECT_EQ(readFile(folder + "/file"), "old");
    EXPECT_TRUE(std::filesystem::is_empty(folder + "/folder"));
    EXPECT_EQ(readFile(folder + "/target"), "target");
    // Nothing was written through the dangling link.
    EXPECT_FALSE(std::filesystem::exists(folder + "/nowhere"));

    EXPECT_FALSE(copyItem(folder + "/missing", folder + "/x", error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
    EXPECT_FALSE(std::filesystem::exists(folder + "/x"));
}

TEST_F(ItemCopy, FolderIsCopiedRecursivelyWithLinksAsLinks)
{
    const std::string source = folder + "/Bundle.d";
    const std::string longName(255, 'n');
    std::filesystem::create_directories(source + "/inner/deeper");
    writeFile(source + "/inner/deeper/" + longName, "deep");
    writeFile(source + "/caf\xe9\xff", "odd name");
    ASSERT_EQ(symlink("inner/deeper", (source + "/shortcut").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", (source + "/dangling").c_str()), 0);
    ASSERT_EQ(chmod((source + "/inner").c_str(), 0750), 0);
    ASSERT_TRUE(setDates(source + "/inner", kDates));
    ASSERT_TRUE(setDates(source, kDates));

    const std::string copy = folder + "/Copy.d";
    ASSERT_TRUE(copyItem(source, copy, error)) << error.message();
    EXPECT_EQ(readFile(copy + "/inner/deeper/" + longName), "deep");
    EXPECT_EQ(readFile(copy + "/caf\xe9\xff"), "odd name");
    EXPECT_TRUE(S_ISLNK(modeOf(copy + "/shortcut")));
    EXPECT_EQ(std::filesystem::read_symlink(copy + "/shortcut"), "inner/deeper");
    EXPECT_EQ(std::filesystem::read_symlink(copy + "/dangling"), "/nonexistent/target");
    EXPECT_EQ(modeOf(copy + "/inner") & 07777, 0750u);
    EXPECT_EQ(readDates(copy + "/inner"), kDates);
    EXPECT_EQ(readDates(copy), kDates);
}

TEST_F(ItemCopy, RefusesToCopyAFolderIntoItself)
{
    std::filesystem::create_directories(folder + "/a/b");
    EXPECT_FALSE(copyItem(folder + "/a", folder + "/a/b/c", error));
    EXPECT_FALSE(copyItem(folder + "/a", folder + "/a/c", error));
    EXPECT_FALSE(std::filesystem::exists(folder + "/a/c"));
    EXPECT_FALSE(std::filesystem::exists(folder + "/a/b/c"));
}

TEST_F(ItemCopy, AFailedCopyLeavesNoPartialFileAndRefusesSpecialFiles)
{
    // Reading this file fails once the destination has been created.
    EXPECT_FALSE(copyItem("/proc/self/mem", folder + "/copy", error));
    EXPECT_EQ(error, std::errc::io_error);
    EXPECT_FALSE(std::filesystem::exists(folder + "/copy"));

    ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0600), 0);
    EXPECT_FALSE(copyItem(folder + "/pipe", folder + "/copy", error));
    EXPECT_FALSE(std::filesystem::exists(folder + "/copy"));
}

} // namespace
} // namespace strataloom
