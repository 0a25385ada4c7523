// What another local user sharing a folder can do to an add: swap the
// document for a link or a pipe, or leave a file the user cannot read.
#include "AutomaticSaves.h"
#include "FileVersionStore.h"
#include "Sqlite.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;
using Outcome = AutomaticSaves::Outcome;

// Runs `body` in a child process that a hang cannot outlive; true when it
// returned true within `seconds`.
template <typename Body> bool inChild(unsigned seconds, Body body)
{
    const pid_t child = fork();
    if (child == 0) {
        alarm(seconds);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The contents of every stored file of the store at `location`.
std::vector<std::string> storedContents(const std::string& location)
{
    std::vector<std::string> contents;
    if (!fs::exists(location + "/documents"))
        return contents;
    for (const auto& entry : fs::recursive_directory_iterator(location + "/documents"))
        if (entry.is_regular_file() && entry.path().extension() != ".log")
            contents.push_back(readFile(entry.path().string()));
    return contents;
}

// The document records: path (empty once released) and number of versions.
std::vector<std::pair<std::string, int>> documents(const std::string& location)
{
    std::vector<std::pair<std::string, int>> found;
    if (!fs::exists(location + "/index.sqlite"))
        return found;
    SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READONLY);
    SqliteStatement query(database.handle(),
                          "SELECT path, (SELECT COUNT(*) FROM versions WHERE document = d.id) FROM documents d");
    while (query.step() == SQLITE_ROW)
        found.emplace_back(query.isNull(0) ? "" : query.blob(0), static_cast<int>(query.integer(1)));
    return found;
}

class DocumentFileTest : public testing::Test {
protected:
    std::string location = FileVersionStore::defaultLocation();
    std::string shared = fs::canonical(makeScratchFolder("shared")).string();
    std::string document = shared + "/Report.txt";
};

// The attacker exchanges the shared document with a link to the victim's
// private file, or to a device that never ends, as fast as they can, while
// the watcher and save-version add it.
TEST_F(DocumentFileTest, ADocumentExchangedWithALinkNeverLeadsAnAddElsewhere)
{
    const std::string home = makeScratchFolder("home");
    ASSERT_EQ(chmod(home.c_str(), 0700), 0);
    const std::string secret = fs::canonical(home).string() + "/secret.txt";
    writeFile(secret, "PRIVATE");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    writeFile(document, "public text");
    const std::string toSecret = shared + "/.a", toZero = shared + "/.b";
    ASSERT_EQ(symlink(secret.c_str(), toSecret.c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", toZero.c_str()), 0);

    const auto exchange = [&](const std::string& link) {
        return renameat2(AT_FDCWD, document.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0;
    };
    EXPECT_TRUE(inChild(120, [&] {
        AutomaticSaves saves(location);
        // Swapped just after the watcher judged the file, or before save-version opens it.
        for (const std::string& link : {toSecret, toZero}) {
            struct stat judged {};
            if (lstat(document.c_str(), &judged) != 0 || !exchange(link)
                || saves.stage(document, nullptr, &judged) != Outcome::Failed || !saves.commit()
                || FileVersionStore(location).saveVersionOfItem(FileUrl::fromPath(document)) || !exchange(link))
                return false;
        }
        // Swapped back and forth as fast as the attacker can, while adds run.
        std::atomic<bool> done{false};
        std::thread attacker([&] {
            while (!done)
                for (const std::string& link : {toSecret, toSecret, toZero, toZero})
                    exchange(link);
        });
        // Each rename changes the file's change time, so most copies are
        // found changing and given up; a few get through.
        int succeeded = 0;
        for (int attempt = 0; attempt < 5000 && succeeded < 10; ++attempt) {
            struct stat judged {};
            if (lstat(document.c_str(), &judged) == 0 && S_ISREG(judged.st_mode)
                && saves.stage(document, nullptr, &judged) != Outcome::Failed && saves.commit())
                ++succeeded;
            if (FileVersionStore(location).saveVersionOfItem(FileUrl::fromPath(document)))
                ++succeeded;
        }
        done = true;
        attacker.join();
        return succeeded > 0;
    })) << "an add followed the link, hung, or none succeeded";

    for (const std::string& contents : storedContents(location))
        EXPECT_EQ(contents, "public text");
    for (const auto& [path, versions] : documents(location))
        EXPECT_NE(path, secret);
    EXPECT_LT(getxattr(secret.c_str(), "user.strataloom.id", nullptr, 0), 0) << "the private file was tagged";
}

// A watched subfolder swapped for a link to the victim's home: the watcher
// names files by their canonical paths, and one reached elsewhere is refused.
TEST_F(DocumentFileTest, TheWatcherFollowsNoFolderSwappedForALink)
{
    const std::string home = fs::canonical(makeScratchFolder("home")).string();
    writeFile(home + "/secret.txt", "PRIVATE");
    fs::create_directory(shared + "/sub");
    fs::rename(shared + "/sub", shared + "/moved");
    fs::create_directory_symlink(home, shared + "/sub");
    const std::string path = shared + "/sub/secret.txt";
    struct stat judged {};
    ASSERT_EQ(lstat(path.c_str(), &judged), 0);
    AutomaticSaves saves(location);
    std::string error;
    EXPECT_EQ(saves.stage(path, &error, &judged), Outcome::Failed);
    EXPECT_NE(error.find("replaced by a link"), std::string::npos) << error;
    EXPECT_TRUE(saves.commit());
    EXPECT_TRUE(storedContents(location).empty());
}

TEST_F(DocumentFileTest, WhatIsNotARegularFileAtTheNameIsRefusedWithoutWaiting)
{
    writeFile(shared + "/target.txt", "target");
    ASSERT_EQ(mkfifo((shared + "/pipe").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (shared + "/zero").c_str()), 0);
    ASSERT_EQ(symlink("target.txt", (shared + "/link").c_str()), 0);
    fs::create_directory(shared + "/folder");
    std::vector<std::string> names = {"pipe", "zero", "link", "folder"};
    if (geteuid() == 0 && mknod((shared + "/device").c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0)
        names.push_back("device");

    const auto refused = [&](const std::string& path) {
        std::string saveError, stageError;
        struct stat judged {};
        AutomaticSaves saves(location);
        return !FileVersionStore(location).saveVersionOfItem(FileUrl::fromPath(path), &saveError) && !saveError.empty()
            && saves.stage(path, &stageError) == Outcome::Failed && !stageError.empty()
            && lstat(path.c_str(), &judged) == 0 && saves.stage(path, nullptr, &judged) == Outcome::Failed;
    };
    for (const std::string& name : names)
        EXPECT_TRUE(inChild(20, [&] { return refused(shared + "/" + name); }))
            << name << " was not refused, or not at once";
    EXPECT_TRUE(storedContents(location).empty());
    EXPECT_TRUE(documents(location).empty());
}

// A document is recorded only with a version of it: a file that cannot be
// read, or contents refused, leave no document without versions behind.
TEST_F(DocumentFileTest, AnAddThatStoresNothingLeavesNoDocumentBehind)
{
    writeFile(document, "now");
    ASSERT_EQ(mkfifo((shared + "/pipe").c_str(), 0600), 0);
    EXPECT_FALSE(FileVersionStore().addVersionOfItem(FileUrl::fromPath(document), FileUrl::fromPath(shared + "/pipe")));
    EXPECT_EQ(documents(location), (std::vector<std::pair<std::string, int>>{}));

    // A file its owner made unreadable to the user who runs the watcher.
    const std::string unreadable = shared + "/unreadable.txt";
    writeFile(unreadable, "not yours");
    ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
    const std::string userStore = makeScratchFolder("user") + "/store";
    const auto asUser = [&](auto body) {
        return inChild(30, [&] {
            if (geteuid() == 0) {
                // Root reads everything: the add runs as an ordinary user.
                fs::create_directory(userStore);
                if (chmod(isolateEnvironment().c_str(), 0755) != 0 || chmod(shared.c_str(), 0755) != 0
                    || chown(userStore.c_str(), 65534, 65534) != 0 || setgroups(0, nullptr) != 0 || setgid(65534) != 0
                    || setuid(65534) != 0)
                    return false;
            }
            return body();
        });
    };
    EXPECT_TRUE(asUser([&] {
        std::string error;
        AutomaticSaves saves(userStore);
        return saves.stage(unreadable, &error) == Outcome::Failed && saves.commit()
            && !FileVersionStore(userStore).saveVersionOfItem(FileUrl::fromPath(unreadable), &error)
            && error.find("unreadable.txt") != std::string::npos;
    }));
    EXPECT_EQ(documents(userStore), (std::vector<std::pair<std::string, int>>{}));
}

} // namespace
} // namespace strataloom
