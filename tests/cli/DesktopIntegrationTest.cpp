#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::runCli;

const std::vector<std::string> kScripts = {"Show Versions", "Save a Version Now", "Archive Versions\u2026",
                                           "Unarchive\u2026"};

class DesktopIntegration : public testing::Test {
protected:
    std::string folder = std::string(std::getenv("XDG_DATA_HOME")) + "/nautilus/scripts/Strataloom";
    std::string bin = test::makeScratchFolder("bin");
    std::string record = test::makeScratchFolder("record") + "/arguments";

    // Runs an installed script as GNOME Files does, with `selected` as the
    // selection, the CLI under test and a window program that writes down its
    // arguments on the PATH; its exit status.
    int runScript(const std::string& name, const std::vector<std::string>& selected)
    {
        std::string paths;
        for (const std::string& path : selected)
            paths += path + "\n";
        test::writeFile(bin + "/strataloom", "#!/bin/sh\nprintf '%s\\0' \"$@\" > \"" + record + "\"\n");
        fs::permissions(bin + "/strataloom", fs::perms::owner_all);
        const std::string path = bin + ":" + fs::path(STRATALOOM_CLI).parent_path().native() + ":/usr/bin:/bin";
        const std::string script = folder + "/" + name;
        const pid_t child = fork();
        if (child == 0) {
            setenv("PATH", path.c_str(), 1);
            setenv("NAUTILUS_SCRIPT_SELECTED_FILE_PATHS", paths.c_str(), 1);
            // GNOME Files also passes the names, relative to the folder, as arguments.
            execl(script.c_str(), script.c_str(), "ignored", nullptr);
            _exit(127);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> recordedArguments()
    {
        std::vector<std::string> arguments;
        const std::string bytes = test::readFile(record);
        for (std::size_t start = 0; start < bytes.size();) {
            const std::size_t end = bytes.find('\0', start);
            arguments.push_back(bytes.substr(start, end - start));
            start = end + 1;
        }
        return arguments;
    }
};

TEST_F(DesktopIntegration, InstalledScriptsHandTheSelectionToTheProgramsWithItsExactBytes)
{
    const test::CliResult installed = runCli({"desktop-integration", "install"});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    EXPECT_EQ(test::entriesOf(folder), std::set<std::string>(kScripts.begin(), kScripts.end()));
    for (const std::string& name : kScripts) {
        struct stat status {};
        ASSERT_EQ(stat((folder + "/" + name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0755u) << name;
    }
    // Installing again changes nothing and is no failure.
    EXPECT_EQ(runCli({"desktop-integration", "install"}).exitCode, 0);

    const std::string documents = test::makeScratchFolder("documents");
    const std::string first = documents + "/two words.txt", second = documents + "/caf\xe9 *.txt";
    test::writeFile(first, "1");
    test::writeFile(second, "2");
    EXPECT_EQ(runScript("Save a Version Now", {first, second}), 0);
    FileVersionStore store;
    EXPECT_EQ(store.otherVersionsOfItem(FileUrl::fromPath(first))->size(), 1u);
    EXPECT_EQ(store.otherVersionsOfItem(FileUrl::fromPath(second))->size(), 1u);
    EXPECT_EQ(runScript("Save a Version Now", {documents + "/missing"}), 1);

    EXPECT_EQ(runScript("Show Versions", {first, second}), 0);
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{"--", first, second}));
    EXPECT_EQ(runScript("Archive Versions\u2026", {first, second}), 0);
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{"--archive", first, "--archive", second}));
    EXPECT_EQ(runScript("Unarchive\u2026", {documents}), 0);
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{"--unarchive", documents}));
}

TEST_F(DesktopIntegration, NothingButTheScriptsAsInstalledIsEverReplacedOrRemoved)
{
    // A script of the user's own under one of the names: nothing is installed.
    fs::create_directories(folder);
    test::writeFile(folder + "/Show Versions", "mine");
    const test::CliResult refused = runCli({"desktop-integration", "install"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find(folder + "/Show Versions exists"), std::string::npos) << refused.err;
    EXPECT_EQ(test::entriesOf(folder), std::set<std::string>{"Show Versions"});
    fs::remove(folder + "/Show Versions");

    ASSERT_EQ(runCli({"desktop-integration", "install"}).exitCode, 0);
    test::writeFile(folder + "/Other", "another script");
    test::writeFile(folder + "/Save a Version Now", "changed by hand");
    const test::CliResult removed = runCli({"desktop-integration", "uninstall"});
    EXPECT_EQ(removed.exitCode, 1);
    EXPECT_NE(removed.err.find("left " + folder + "/Save a Version Now"), std::string::npos) << removed.err;
    EXPECT_EQ(test::entriesOf(folder), (std::set<std::string>{"Other", "Save a Version Now"}));
    EXPECT_EQ(test::readFile(folder + "/Save a Version Now"), "changed by hand");

    fs::remove(folder + "/Other");
    fs::remove(folder + "/Save a Version Now");
    ASSERT_EQ(runCli({"desktop-integration", "install"}).exitCode, 0);
    EXPECT_EQ(runCli({"desktop-integration", "uninstall"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(fs::exists(fs::path(folder).parent_path()));
    // Nothing installed: nothing to do.
    EXPECT_EQ(runCli({"desktop-integration", "uninstall"}).exitCode, 0);
}

} // namespace
} // namespace strataloom
