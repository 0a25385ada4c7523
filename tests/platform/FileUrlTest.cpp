#include "platform/FileUrl.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace strataloom {
namespace {

struct NameCase {
    const char* name;
    const char* extension;
    const char* base;
};

TEST(FileUrl, ExtensionIsTheTextAfterTheLastInnerDot)
{
    const NameCase cases[] = {
        {"archive.tar.gz", "gz", "archive.tar"},
        {"Report.pages", "pages", "Report"},
        {"README", "", "README"},
        {".bashrc", "", ".bashrc"},
        {"name.", "", "name."},
        {"..", "", ".."},
        {"a.b.", "", "a.b."},
        {".config.json", "json", ".config"},
        {"caf\xe9.t\xffxt", "t\xffxt", "caf\xe9"},
    };
    for (const NameCase& item : cases) {
        SCOPED_TRACE(item.name);
        const FileUrl url = FileUrl::fromPath(std::string("/docs/") + item.name);
        EXPECT_EQ(url.lastPathComponent(), item.name);
        EXPECT_EQ(url.pathExtension(), item.extension);
        EXPECT_EQ(url.deletingPathExtension().lastPathComponent(), item.base);
        // The base name and the dotted extension give back the name.
        const std::string extension = url.pathExtension();
        EXPECT_EQ(url.deletingPathExtension().lastPathComponent() + (extension.empty() ? "" : "." + extension),
                  item.name);
    }
}

TEST(FileUrl, TrailingSlashMarksADirectoryButNeverShowsInThePath)
{
    const FileUrl folder = FileUrl::fromPath("/home/me/Stuff.d/");
    EXPECT_TRUE(folder.hasDirectoryPath());
    EXPECT_EQ(folder.path(), "/home/me/Stuff.d");
    EXPECT_EQ(folder.lastPathComponent(), "Stuff.d");
    EXPECT_EQ(folder.pathExtension(), "d");
    EXPECT_EQ(folder.deletingPathExtension(), FileUrl::fromPath("/home/me/Stuff/"));

    const FileUrl file = FileUrl::fromPath("/home/me/notes.txt");
    EXPECT_FALSE(file.hasDirectoryPath());
    EXPECT_TRUE(FileUrl::directoryFromPath("/home/me/notes.txt").hasDirectoryPath());
    EXPECT_EQ(FileUrl::directoryFromPath("/home/me/"), FileUrl::fromPath("/home/me/"));
    EXPECT_EQ(FileUrl::fromPath("/a//b///"), FileUrl::fromPath("/a/b/"));
}

TEST(FileUrl, ParentAndChildComponents)
{
    const FileUrl file = FileUrl::fromPath("/home/me/notes.txt");
    EXPECT_EQ(file.deletingLastPathComponent().path(), "/home/me");
    EXPECT_TRUE(file.deletingLastPathComponent().hasDirectoryPath());
    EXPECT_EQ(FileUrl::fromPath("/notes.txt").deletingLastPathComponent().path(), "/");
    EXPECT_EQ(FileUrl::fromPath("/home/me/").appendingPathComponent("x.txt").path(), "/home/me/x.txt");
    EXPECT_EQ(FileUrl::fromPath("/").appendingPathComponent("x").path(), "/x");
}

TEST(FileUrl, RootStaysRoot)
{
    const FileUrl root = FileUrl::fromPath("/");
    EXPECT_EQ(root.path(), "/");
    EXPECT_TRUE(root.hasDirectoryPath());
    EXPECT_EQ(root.lastPathComponent(), "/");
    EXPECT_EQ(root.pathExtension(), "");
    EXPECT_EQ(root.deletingLastPathComponent().path(), "/");
    EXPECT_EQ(root.deletingPathExtension(), root);
}

TEST(FileUrl, RelativePathsAreTakenFromTheWorkingFolder)
{
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(FileUrl::fromPath("sub/file.txt").path(), std::string(here) + "/sub/file.txt");
    EXPECT_TRUE(FileUrl().isEmpty());
    EXPECT_TRUE(FileUrl::fromPath("").isEmpty());
}

TEST(FileUrl, LongNamesThatAreNotUtf8PassUnchanged)
{
    std::string name(250, '\xe9');
    name += ".\xff\xfe";
    ASSERT_EQ(name.size(), 253u);
    const FileUrl url = FileUrl::fromPath("/tmp/\x80/" + name);
    EXPECT_EQ(url.path(), "/tmp/\x80/" + name);
    EXPECT_EQ(url.lastPathComponent(), name);
    EXPECT_EQ(url.pathExtension(), "\xff\xfe");
    EXPECT_EQ(url.deletingPathExtension().lastPathComponent(), std::string(250, '\xe9'));
    EXPECT_EQ(url.deletingLastPathComponent().path(), "/tmp/\x80");
}

} // namespace
} // namespace strataloom
