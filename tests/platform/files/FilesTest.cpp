#include "DurableBatch.h"
#include "FileAttributes.h"
#include "FileDescriptor.h"
#include "FileUrl.h"
#include "FolderListing.h"
#include "ItemCopy.h"
#include "Names.h"
#include "Paths.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace strataloom {
namespace {

using namespace test;
namespace fs = std::filesystem;

const FileDates kDates{{978'307'200, 123'456'789}, {1'577'934'245, 987'654'321}};

TEST(FileUrl, ComponentsExtensionsAndParents)
{
    struct Case {
        std::string given, path, last, extension, base, parent;
        bool directory;
    };
    const std::string odd = std::string(250, '\xe9') + ".\xff\xfe";
    const Case cases[] = {
        {"/docs/archive.tar.gz", "/docs/archive.tar.gz", "archive.tar.gz", "gz", "archive.tar", "/docs", false},
        {"/docs/README", "/docs/README", "README", "", "README", "/docs", false},
        {"/.bashrc", "/.bashrc", ".bashrc", "", ".bashrc", "/", false},
        {"/docs/name.", "/docs/name.", "name.", "", "name.", "/docs", false},
        {"/docs/.config.json", "/docs/.config.json", ".config.json", "json", ".config", "/docs", false},
        {"/a//Stuff.d///", "/a/Stuff.d", "Stuff.d", "d", "Stuff", "/a", true},
        {"/", "/", "/", "", "/", "/", true},
        {"/tmp/\x80/" + odd, "/tmp/\x80/" + odd, odd, "\xff\xfe", std::string(250, '\xe9'), "/tmp/\x80", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        const FileUrl url = FileUrl::fromPath(c.given);
        EXPECT_EQ(url.path(), c.path);
        EXPECT_EQ(url.hasDirectoryPath(), c.directory);
        EXPECT_EQ(url.lastPathComponent(), c.last);
        EXPECT_EQ(url.pathExtension(), c.extension);
        EXPECT_EQ(url.deletingPathExtension().lastPathComponent(), c.base);
        EXPECT_EQ(url.deletingPathExtension().hasDirectoryPath(), c.directory);
        EXPECT_EQ(url.deletingLastPathComponent(), FileUrl::directoryFromPath(c.parent));
    }
    EXPECT_EQ(FileUrl::fromPath("/").appendingPathComponent("x").path(), "/x");
}

// Strict UTF-8 as the decoder judges it, and how many characters each byte
// string counts, a byte outside UTF-8 being one of its own.
TEST(Names, Utf8IsStrictAndEachStrayByteIsACharacter)
{
    struct Case {
        std::string bytes;
        bool valid;
        std::size_t characters;
    };
    const Case cases[] = {
        {"", true, 0},
        {std::string("a\0b", 3), true, 3},
        {"\xC3\xA9\xE2\x82\xAC", true, 2},
        {"\xF0\x9F\x98\x80", true, 1},
        {"\xF4\x8F\xBF\xBF", true, 1}, // U+10FFFF, the last code point
        {"\xEF\xBB\xBF\xEF\xBF\xBE", true, 2}, // a byte order mark and a noncharacter
        {"\xC0\xAF", false, 2}, // overlong forms
        {"\xE0\x80\xAF", false, 3},
        {"\xF0\x8F\xBF\xBF", false, 4},
        {"\xED\xA0\x80", false, 3}, // surrogates
        {"\xED\xA0\xBD\xED\xB8\x80", false, 6},
        {"\xF4\x90\x80\x80", false, 4}, // past U+10FFFF
        {"\xF5\x80\x80\x80", false, 4},
        {"\xC3", false, 1}, // cut off at the end
        {"\xF0\x9F\x98", false, 3},
        {"\xE2\x82x", false, 3}, // cut off before another character
        {"\x80\xC3\xA9\xFF", false, 3}, // stray bytes around a valid one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid);
        EXPECT_EQ(characterCount(c.bytes), c.characters);
    }
}

TEST(Names, PrintedNamesCannotForgeLinesAndStayUnambiguous)
{
    const struct {
        std::string bytes;
        std::string printed;
    } cases[] = {
        {"Report 2026.txt", "Report 2026.txt"},
        {"caf\xC3\xA9 \xE2\x9C\x93.txt", "caf\xC3\xA9 \xE2\x9C\x93.txt"},
        {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {std::string("nul\0esc\x1B del\x7F", 13), "nul\\x00esc\\x1b del\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"stray \xFF\xC3 byte", "stray \\xff\\xc3 byte"},
        {"c1 \xC2\x85 sep \xE2\x80\xA8 nbsp \xC2\xA0", "c1 \\xc2\\x85 sep \\xe2\\x80\\xa8 nbsp \xC2\xA0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printableName(c.bytes), c.printed);
        EXPECT_EQ(printableName(c.printed).find('\n'), std::string::npos);
    }
    // Two names that differ print differently.
    EXPECT_NE(printableName("a\\nb"), printableName("a\nb"));
}

TEST(FileAttributes, BothDatesRoundTripWithNanosecondsThroughALink)
{
    const std::string folder = makeScratchFolder();
    writeFile(folder + "/f", "x");
    ASSERT_EQ(symlink("f", (folder + "/link").c_str()), 0);
    ASSERT_TRUE(setDates(folder + "/link", kDates));
    EXPECT_EQ(readDates(folder + "/f"), kDates);
    char value[64] = {};
    ASSERT_GT(getxattr((folder + "/f").c_str(), kCreationDateAttribute, value, sizeof value - 1), 0);
    EXPECT_STREQ(value, "978307200.123456789");
}

// Only the missing levels are reported as made, so that a caller syncs their
// parents; whatever else stands in the way fails naming the level it stopped at.
TEST(Paths, MakeFoldersMakesOnlyWhatIsMissingAndStopsAtWhatIsInTheWay)
{
    const std::string folder = makeScratchFolder("folders");
    writeFile(folder + "/file", "x");
    ASSERT_EQ(symlink(".", (folder + "/here").c_str()), 0);
    struct Case {
        std::string path;
        bool made;
        std::vector<std::string> madeFolders;
        std::string messageEnd;
    };
    const Case cases[] = {
        {folder + "/a/b/c", true, {folder + "/a", folder + "/a/b", folder + "/a/b/c"}, ""},
        {folder + "/a/b/c", true, {}, ""},
        {folder + "/a//b/d/", true, {folder + "/a//b/d"}, ""},
        {folder + "/here/e", true, {folder + "/here/e"}, ""},
        {folder + "/file", false, {}, folder + "/file: Not a directory"},
        {folder + "/file/f/g", false, {}, folder + "/file/f: Not a directory"},
        {"", false, {}, "without a name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<std::string> made;
        std::string error;
        EXPECT_EQ(makeFolders(c.path, 0700, &made, &error), c.made);
        EXPECT_EQ(made, c.madeFolders);
        EXPECT_TRUE(error.ends_with(c.messageEnd)) << error;
        EXPECT_EQ(fs::is_directory(c.path), c.made);
    }
    EXPECT_EQ(fs::status(folder + "/a").permissions(), fs::perms(0700));

    std::string error;
    EXPECT_EQ(realPath(folder + "/here/a/../a/b"), fs::canonical(folder + "/a/b").native());
    EXPECT_FALSE(realPath(folder + "/missing/x", &error));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(error, "cannot resolve " + folder + "/missing/x: No such file or directory");
}

// A relative or empty XDG variable counts as unset, as the base directory
// rules say; the home folder then gives the place.
TEST(Paths, XdgBaseFolderTakesOnlyAnAbsoluteVariable)
{
    const std::string home = std::getenv("HOME");
    const std::string saved = std::getenv("XDG_DATA_HOME");
    const struct {
        const char* value;
        std::string folder;
    } cases[] = {
        {"/elsewhere/data", "/elsewhere/data"},
        {"relative/data", home + "/.local/share"},
        {"", home + "/.local/share"},
        {nullptr, home + "/.local/share"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        if (c.value)
            setenv("XDG_DATA_HOME", c.value, 1);
        else
            unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(xdgBaseFolder("XDG_DATA_HOME", ".local/share"), c.folder);
    }
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
}

class ItemCopy : public testing::Test {
protected:
    std::string folder = makeScratchFolder("copy");
    std::string error;
};

// Holes stay holes through both kinds of copy, and a file whose size says 0
// while it has contents, as files of /proc do, is still copied whole.
TEST_F(ItemCopy, HolesStayHolesAndContentsPastTheSizeAreCopied)
{
    const std::string sparse = folder + "/sparse";
    {
        UniqueFd fd(open(sparse.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(pwrite(fd.get(), "middle", 6, 8 << 20), 6);
        ASSERT_EQ(ftruncate(fd.get(), 16 << 20), 0);
    }
    UniqueFd into(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    DurableBatch batch;
    for (const std::string& source : {sparse, std::string("/proc/version")}) {
        SCOPED_TRACE(source);
        const std::string name = "copy-of-" + fs::path(source).filename().string();
        ASSERT_TRUE(copyItem(source, folder + "/" + name, &error)) << error;
        ASSERT_TRUE(copyFileInto(source, into.get(), folder, name + "-into", batch, &error)) << error;
        for (const std::string& copy : {folder + "/" + name, folder + "/" + name + "-into"}) {
            EXPECT_TRUE(readFile(copy) == readFile(source)) << copy << " differs";
            struct stat original {
            }, copied{};
            ASSERT_EQ(stat(source.c_str(), &original), 0);
            ASSERT_EQ(stat(copy.c_str(), &copied), 0);
            EXPECT_LE(copied.st_blocks, original.st_blocks + 128) << copy << " has its holes filled";
        }
    }
}

TEST_F(ItemCopy, FoldersAreCopiedWholeWithLinksAsLinksButNeverIntoThemselves)
{
    const std::string source = folder + "/Bundle.d", copy = folder + "/Copy.d";
    fs::create_directories(source + "/inner/deeper");
    writeFile(source + "/inner/deeper/caf\xe9\xff", "deep");
    ASSERT_EQ(symlink("/nonexistent/target", (source + "/dangling").c_str()), 0);
    ASSERT_TRUE(setDates(source + "/inner", kDates));

    ASSERT_TRUE(copyItem(source, copy, &error)) << error;
    EXPECT_EQ(readFile(copy + "/inner/deeper/caf\xe9\xff"), "deep");
    EXPECT_EQ(fs::read_symlink(copy + "/dangling"), "/nonexistent/target");
    EXPECT_EQ(readDates(copy + "/inner"), kDates);

    EXPECT_FALSE(copyItem(source, source + "/inner/again", &error));
    EXPECT_EQ(error, "cannot copy the folder " + source + " into itself, to " + source + "/inner/again");
    EXPECT_FALSE(fs::exists(source + "/inner/again"));
}

// Set-user-ID and set-group-ID stay only on a copy with their source's owner,
// as with cp -p: a foreign file's copy is the user's, and would run as them.
TEST_F(ItemCopy, SetIdBitsStayOnlyWithTheirOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to make a file another user owns";
    UniqueFd into(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    DurableBatch batch;
    for (const uid_t owner : {geteuid(), uid_t{65534}}) {
        SCOPED_TRACE(owner);
        const std::string name = "tool-of-" + std::to_string(owner), source = folder + "/" + name;
        writeFile(source, "#!/bin/sh\n");
        ASSERT_EQ(chown(source.c_str(), owner, owner == geteuid() ? getegid() : owner), 0);
        ASSERT_EQ(chmod(source.c_str(), 06755), 0);
        ASSERT_TRUE(copyItem(source, source + "-copy", &error)) << error;
        ASSERT_TRUE(copyFileInto(source, into.get(), folder, name + "-into", batch, &error)) << error;
        for (const std::string& copy : {source + "-copy", source + "-into"}) {
            struct stat copied {};
            ASSERT_EQ(stat(copy.c_str(), &copied), 0);
            EXPECT_EQ(copied.st_mode & 07777, owner == geteuid() ? 06755u : 0755u) << copy;
        }
    }
}

TEST_F(ItemCopy, AFailedCopyLeavesNothingBehind)
{
    ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0600), 0);
    const std::string copy = folder + "/copy";
    const std::pair<std::string, std::string> cases[] = {
        {folder + "/missing", "cannot examine " + folder + "/missing: " + std::strerror(ENOENT)},
        // Reading /proc/self/mem fails once the destination has been created.
        {"/proc/self/mem", "cannot copy the contents of /proc/self/mem to " + copy + ": " + std::strerror(EIO)},
        {folder + "/pipe", "cannot copy " + folder + "/pipe: it is not a file, a folder or a symbolic link"},
        {"", "cannot copy \"\" to \"" + copy + "\": a path is empty"},
    };
    for (const auto& [source, message] : cases) {
        EXPECT_FALSE(copyItem(source, copy, &error)) << source;
        EXPECT_EQ(error, message);
        EXPECT_FALSE(fs::exists(copy)) << source;
    }
}

// Copies into an open folder: the copy takes its name only when complete.
class CopyInto : public ItemCopy {
protected:
    bool copyInto(const std::string& source, const std::string& name)
    {
        return copyFileInto(source, destination.get(), folder, name, batch, &error);
    }
    std::set<std::string> names() const
    {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder))
            found.insert(entry.path().filename().native());
        return found;
    }

    UniqueFd destination{open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    DurableBatch batch;
};

// Both kinds of copy keep contents, permissions, dates and attributes, but not
// a document's identity, which belongs to the original only; copying into a
// folder steps around what a copy cut short left there.
TEST_F(CopyInto, KeepsContentsPermissionsDatesAndAttributesButNotTheIdentity)
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
    writeFile(folder + "/.copy.part", "stale");

    ASSERT_TRUE(copyItem(source, folder + "/item", &error)) << error;
    ASSERT_TRUE(copyInto(source, "copy")) << error;
    ASSERT_TRUE(batch.flush(&error)) << error;
    for (const std::string& copy : {folder + "/item", folder + "/copy"}) {
        SCOPED_TRACE(copy);
        EXPECT_TRUE(readFile(copy) == contents);
        EXPECT_EQ(fs::status(copy).permissions(), fs::perms(0640));
        EXPECT_EQ(readDates(copy), kDates);
        EXPECT_EQ(getxattr(copy.c_str(), "user.comment", nullptr, 0), 5);
        EXPECT_LT(getxattr(copy.c_str(), "user.strataloom.id", nullptr, 0), 0);
    }
    EXPECT_EQ(readFile(folder + "/.copy.part"), "stale");

    // The longest name a folder takes, not UTF-8, still fits its temporary name.
    const std::string longest = std::string(250, '\xe9') + "\xff\xfe\x80.x";
    ASSERT_TRUE(copyInto(source, longest)) << error;
    EXPECT_TRUE(readFile(folder + "/" + longest) == contents);
    EXPECT_EQ(names(), (std::set<std::string>{"source", ".copy.part", "item", "copy", longest}));
}

// Neither kind of copy replaces or writes through what is at its destination.
TEST_F(CopyInto, NeverReplacesAndAFailureLeavesNoTemporaryFile)
{
    const std::string source = folder + "/source", outside = makeScratchFolder("outside") + "/target";
    writeFile(source, "new");
    writeFile(folder + "/file", "old");
    writeFile(outside, "outside");
    ASSERT_TRUE(setDates(outside, kDates));
    ASSERT_EQ(mkdir((folder + "/folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", (folder + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/link").c_str()), 0);
    const std::set<std::string> before = names();
    for (const char* name : {"file", "folder", "dangling", "link"}) {
        const std::string expected = "cannot create " + folder + "/" + name + ": " + std::strerror(EEXIST);
        EXPECT_FALSE(copyInto(source, name));
        EXPECT_EQ(error, expected);
        EXPECT_FALSE(copyItem(source, folder + "/" + name, &error));
        EXPECT_EQ(error, expected);
    }
    EXPECT_EQ(readFile(folder + "/file"), "old");
    EXPECT_TRUE(fs::is_empty(folder + "/folder"));
    EXPECT_FALSE(fs::exists(folder + "/nowhere"));
    EXPECT_EQ(readFile(outside), "outside");
    EXPECT_EQ(readDates(outside), kDates);

    const std::pair<std::string, std::string> failures[] = {
        {folder + "/missing", "cannot open " + folder + "/missing: " + std::strerror(ENOENT)},
        {folder + "/folder", "cannot copy " + folder + "/folder: it is not a regular file"},
        {folder + "/link", "cannot open " + folder + "/link: " + std::strerror(ELOOP)},
        // Reading /proc/self/mem fails once the temporary file has been created.
        {"/proc/self/mem",
         "cannot copy the contents of /proc/self/mem to " + folder + "/.copy.part: " + std::strerror(EIO)},
    };
    for (const auto& [from, message] : failures) {
        EXPECT_FALSE(copyInto(from, "copy"));
        EXPECT_EQ(error, message);
    }
    EXPECT_EQ(names(), before);
    EXPECT_TRUE(batch.flush(&error)) << error;
}

} // namespace
} // namespace strataloom
