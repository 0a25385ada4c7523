#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::runCli;

const std::vector<std::string> kScripts = {"Show Versions", "Save a Version Now", "Archive Versions\u2026",
                                           "Unarchive\u2026"};

// Names another user can give files in a shared folder: split on newlines or
// read as options, each would hand the window program Qt options of its own
// (loading a library from ".", or a network listener) or save an unselected
// sibling.
const std::vector<std::string> kHostileNames = {
    "notes.txt\n-platformpluginpath\n.\n-platform\nevil",
    "-platform",
    "vnc:port=5977",
    "--help",
    "-- two words *.txt",
    "caf\xe9.txt",
};

// What the window program would open, as its test hook prints it.
struct Launch {
    std::string platform;
    std::vector<std::string> qtArguments, documents, drops;
};

class DesktopIntegration : public testing::Test {
protected:
    std::string folder = std::string(std::getenv("XDG_DATA_HOME")) + "/nautilus/scripts/Strataloom";
    std::string bin = test::makeScratchFolder("bin");
    std::string output = test::makeScratchFolder("output");
    std::string documents = test::makeScratchFolder("documents");

    void SetUp() override
    {
        fs::create_symlink(STRATALOOM_APP, bin + "/strataloom");
        const test::CliResult installed = runCli({"desktop-integration", "install"});
        ASSERT_EQ(installed.exitCode, 0) << installed.err;
    }

    // Runs an installed script as GNOME Files does: in the folder it shows,
    // with each selected item as an argument relative to it, and the built
    // programs on the PATH. The window program prints what it would open.
    test::CliResult runScript(const std::string& name, const std::vector<std::string>& selected)
    {
        std::string paths;
        for (const std::string& item : selected)
            paths += documents + "/" + item + "\n";
        const std::string path = bin + ":" + fs::path(STRATALOOM_CLI).parent_path().native() + ":/usr/bin:/bin";
        return test::runProgram(folder + "/" + name, selected, documents,
                                {"PATH=" + path, "QT_QPA_PLATFORM=offscreen", "STRATALOOM_TEST_PRINT_LAUNCH=1",
                                 "NAUTILUS_SCRIPT_SELECTED_FILE_PATHS=" + paths, "DISPLAY=", "WAYLAND_DISPLAY="});
    }

    static Launch launchOf(const std::string& printed)
    {
        Launch launch;
        for (std::size_t start = 0; start < printed.size();) {
            const std::size_t end = printed.find('\0', start);
            const std::string field = printed.substr(start, end - start);
            const std::size_t equals = field.find('=');
            const std::string name = field.substr(0, equals), value = field.substr(equals + 1);
            if (name == "platform")
                launch.platform = value;
            else if (name == "qt-argument")
                launch.qtArguments.push_back(value);
            else if (name == "document")
                launch.documents.push_back(value);
            else if (name == "drop")
                launch.drops.push_back(value);
            start = end + 1;
        }
        return launch;
    }

    std::vector<std::string> absolute(const std::vector<std::string>& names) const
    {
        std::vector<std::string> paths;
        for (const std::string& name : names)
            paths.push_back(documents + "/" + name);
        return paths;
    }
};

TEST_F(DesktopIntegration, EverySelectedItemReachesTheProgramsAsOneFileWhateverItsName)
{
    for (const std::string& name : kHostileNames)
        test::writeFile(documents + "/" + name, name);
    // The pieces a split name would have become.
    for (const char* sibling : {"notes.txt", "evil"})
        test::writeFile(documents + "/" + sibling, sibling);

    const struct {
        std::string script;
        std::vector<std::string> Launch::*list;
    } windowScripts[] = {{"Show Versions", &Launch::documents}, {"Archive Versions\u2026", &Launch::drops}};
    for (const auto& c : windowScripts) {
        const test::CliResult run = runScript(c.script, kHostileNames);
        ASSERT_EQ(run.exitCode, 0) << c.script << ": " << run.err;
        const Launch launch = launchOf(run.out);
        EXPECT_EQ(launch.platform, "offscreen") << c.script;
        EXPECT_EQ(launch.qtArguments, std::vector<std::string>()) << c.script;
        EXPECT_EQ(launch.*c.list, absolute(kHostileNames)) << c.script;
    }

    const std::string versionsFolder = "versions\n-platform\nevil";
    fs::create_directory(documents + "/" + versionsFolder);
    const test::CliResult unarchived = runScript("Unarchive\u2026", {versionsFolder});
    ASSERT_EQ(unarchived.exitCode, 0) << unarchived.err;
    EXPECT_EQ(launchOf(unarchived.out).drops, absolute({versionsFolder}));

    const test::CliResult saved = runScript("Save a Version Now", kHostileNames);
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    FileVersionStore store;
    for (const std::string& path : absolute(kHostileNames))
        EXPECT_EQ(store.otherVersionsOfItem(FileUrl::fromPath(path))->size(), 1u) << path;
    for (const std::string& path : absolute({"notes.txt", "evil"}))
        EXPECT_EQ(store.otherVersionsOfItem(FileUrl::fromPath(path))->size(), 0u) << path;
}

TEST_F(DesktopIntegration, ScriptsSayWhyTheyDidNothing)
{
    // GNOME Files passes no items that are not local files.
    for (const std::string& script : kScripts) {
        const test::CliResult nothing = runScript(script, {});
        EXPECT_EQ(nothing.exitCode, 1) << script;
        EXPECT_NE(nothing.err.find("No file was passed on. Select one or more files"), std::string::npos)
            << script << ": " << nothing.err;
    }
    test::writeFile(documents + "/kept.txt", "kept");
    const test::CliResult partly = runScript("Save a Version Now", {"missing.txt", "kept.txt"});
    EXPECT_EQ(partly.exitCode, 1);
    EXPECT_NE(partly.err.find("missing.txt"), std::string::npos) << partly.err;
    EXPECT_EQ(FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(documents + "/kept.txt"))->size(), 1u);
}

TEST_F(DesktopIntegration, InstallReplacesOnlyItsOwnScriptsAndClearsWhatAnInterruptedInstallLeft)
{
    EXPECT_EQ(test::entriesOf(folder), std::set<std::string>(kScripts.begin(), kScripts.end()));
    for (const std::string& name : kScripts) {
        struct stat status {};
        ASSERT_EQ(stat((folder + "/" + name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0755u) << name;
    }
    const std::string current = test::readFile(folder + "/Show Versions");

    // The first release's script, which split the selection on newlines, is
    // replaced; so is what an install cut short left, whole or not.
    test::writeFile(folder + "/Show Versions",
                    "#!/bin/sh\n# Written by strataloom-cli desktop-integration install, which uninstall removes.\n"
                    "IFS='\n'\nset -f\nexec strataloom -- $NAUTILUS_SCRIPT_SELECTED_FILE_PATHS\n");
    test::writeFile(folder + "/Show Versions.part", current.substr(0, 20));
    test::writeFile(folder + "/Unarchive\u2026.part", "");
    const test::CliResult upgraded = runCli({"desktop-integration", "install"});
    ASSERT_EQ(upgraded.exitCode, 0) << upgraded.err;
    EXPECT_EQ(test::readFile(folder + "/Show Versions"), current);
    EXPECT_EQ(test::entriesOf(folder), std::set<std::string>(kScripts.begin(), kScripts.end()));

    // Anything else under those names is the user's: nothing is installed, and
    // the message names what to move.
    fs::remove(folder + "/Show Versions");
    test::writeFile(folder + "/Show Versions.part", "mine");
    const test::CliResult blocked = runCli({"desktop-integration", "install"});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_NE(blocked.err.find(folder + "/Show Versions.part is in the way"), std::string::npos) << blocked.err;
    EXPECT_FALSE(fs::exists(folder + "/Show Versions"));
    fs::remove(folder + "/Show Versions.part");
    test::writeFile(folder + "/Show Versions", "mine");
    const test::CliResult refused = runCli({"desktop-integration", "install"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find(folder + "/Show Versions exists"), std::string::npos) << refused.err;
    EXPECT_EQ(test::readFile(folder + "/Show Versions"), "mine");
    fs::remove(folder + "/Show Versions");
    EXPECT_EQ(runCli({"desktop-integration", "install"}).exitCode, 0);
    // Installing again changes nothing and is no failure.
    EXPECT_EQ(runCli({"desktop-integration", "install"}).exitCode, 0);
}

TEST_F(DesktopIntegration, UninstallRemovesNothingButTheScriptsAsInstalled)
{
    test::writeFile(folder + "/Other", "another script");
    test::writeFile(folder + "/Save a Version Now", "changed by hand");
    test::writeFile(folder + "/Unarchive\u2026.part", "#!/bin/sh\n");
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
