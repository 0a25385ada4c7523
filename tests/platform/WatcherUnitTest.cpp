#include "WatcherUnit.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace strataloom {
namespace {

namespace fs = std::filesystem;

// Where a prefix's programs and unit go, as `cmake --install` puts them.
struct Installation {
    std::string executable;
    std::string unit;
};

Installation installUnder(const std::string& prefix)
{
    fs::create_directories(prefix + "/bin");
    fs::create_directories(prefix + "/lib/systemd/user");
    test::writeFile(prefix + "/lib/systemd/user/strataloom-watch.service", "[Service]\n");
    return {prefix + "/bin/strataloom-cli", prefix + "/lib/systemd/user/strataloom-watch.service"};
}

TEST(WatcherUnit, TheUnitIsNamedByItsPathExactlyWhenTheServiceManagerDoesNotSearchItsFolder)
{
    const std::string home = std::getenv("HOME");
    const std::string scratch = test::makeScratchFolder("prefixes");
    const Installation local = installUnder(home + "/.local");
    // A folder systemd searches, reached through a link: the same folder.
    const Installation linked = installUnder(scratch + "/linked");
    fs::create_directories(scratch + "/xdg/systemd");
    fs::create_directory_symlink(scratch + "/linked/lib/systemd/user", scratch + "/xdg/systemd/user");
    setenv("XDG_CONFIG_DIRS", (scratch + "/xdg").c_str(), 1);
    const Installation folderNamedAsTheUnit = installUnder(scratch + "/odd");
    fs::remove(folderNamedAsTheUnit.unit);
    fs::create_directory(folderNamedAsTheUnit.unit);
    const std::vector<std::string> searched = userUnitSearchPath();

    const struct {
        std::string executable;
        std::string expected;
    } cases[] = {
        {local.executable, local.unit},
        {linked.executable, kWatcherUnitName},
        {folderNamedAsTheUnit.executable, kWatcherUnitName},
        // A program that was not installed (the build tree), and one named relatively.
        {scratch + "/build/src/cli/strataloom-cli", kWatcherUnitName},
        {"bin/strataloom-cli", kWatcherUnitName},
    };
    for (const auto& c : cases)
        EXPECT_EQ(watcherUnitReference(c.executable, searched), c.expected) << c.executable;
}

TEST(WatcherUnit, TheSearchPathIsSystemdsForTheUsersEnvironment)
{
    const std::string home = std::getenv("HOME");
    setenv("XDG_DATA_HOME", "relative/share", 1);
    unsetenv("XDG_CONFIG_HOME");
    setenv("XDG_DATA_DIRS", "/opt/share::relative", 1);
    const std::vector<std::string> path = userUnitSearchPath();
    const auto has = [&](const std::string& folder) { return std::ranges::find(path, folder) != path.end(); };
    for (const std::string& folder : {home + "/.config/systemd/user", home + "/.local/share/systemd/user",
                                      std::string("/opt/share/systemd/user"), std::string("/etc/systemd/user"),
                                      std::string("/usr/lib/systemd/user"), std::string("/usr/local/lib/systemd/user")})
        EXPECT_TRUE(has(folder)) << folder;
    for (const std::string& folder : {home + "/.local/lib/systemd/user", std::string("relative/systemd/user"),
                                      std::string("relative/share/systemd/user")})
        EXPECT_FALSE(has(folder)) << folder;
}

} // namespace
} // namespace strataloom
