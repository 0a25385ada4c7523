#include "FileVersionStore.h"
#include "WatchSettings.h"
#include "WatchState.h"
#include "support/OperationTestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::runCli;
using Arguments = std::vector<std::string>;

TEST(WatchCommands, AddListAndRemoveKeepFoldersByteForByte)
{
    const std::string base = test::makeScratchFolder("folders");
    const std::string odd = base + "/caf\xe9 \xff";
    const std::string plain = base + "/plain";
    fs::create_directories(odd);
    fs::create_directories(plain);
    fs::create_directory_symlink(plain, base + "/link");

    const test::CliResult added = runCli({"watch", "add", "caf\xe9 \xff", base + "/link/", plain}, base);
    EXPECT_EQ(added.exitCode, 0) << added.err;
    EXPECT_NE(added.out.find("systemctl --user enable --now strataloom-watch.service"), std::string::npos);
    EXPECT_EQ(runCli({"watch", "add", odd}).exitCode, 0);
    EXPECT_EQ(runCli({"watch", "list"}).out, odd + "\n" + plain + "\n");

    // One bad folder keeps every folder of the command out.
    const std::string store = FileVersionStore::defaultLocation();
    fs::create_directories(store + "/documents");
    test::writeFile(base + "/file", "");
    const std::string settingsFolder = fs::path(WatchSettings().fileName()).parent_path();
    const Arguments refused{base + "/missing",    base + "/file",     store,
                            store + "/documents", watchStateFolder(), settingsFolder};
    fs::create_directories(watchStateFolder());
    fs::create_directories(settingsFolder);
    for (const std::string& folder : refused) {
        const test::CliResult result = runCli({"watch", "add", base, folder});
        EXPECT_EQ(result.exitCode, 1) << folder;
        EXPECT_NE(result.err.find("cannot watch " + folder + ":"), std::string::npos) << result.err;
    }
    EXPECT_EQ(runCli({"watch", "list"}).out, odd + "\n" + plain + "\n");

    const test::CliResult unknown = runCli({"watch", "remove", plain, base});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find(base + " is not watched"), std::string::npos) << unknown.err;
    EXPECT_EQ(runCli({"watch", "list"}).out, odd + "\n" + plain + "\n");
    // A folder is removed by any path to it, or as added once it is gone.
    fs::remove(odd);
    EXPECT_EQ(runCli({"watch", "remove", base + "/link", odd}).exitCode, 0);
    EXPECT_EQ(runCli({"watch", "list"}).out, "");
}

TEST(WatchCommands, StatusWithoutAWatcherAndUsageErrors)
{
    const test::CliResult text = runCli({"watch", "status"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("not running"), std::string::npos) << text.out;
    const test::CliResult json = runCli({"watch", "status", "--json"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object(), (QJsonObject{{"running", false}}));

    for (const Arguments& arguments : std::vector<Arguments>{{"watch"},
                                                             {"watch", "--json"},
                                                             {"watch", "bogus"},
                                                             {"watch", "add"},
                                                             {"watch", "remove"},
                                                             {"watch", "list", "extra"},
                                                             {"watch", "run", "--quiet-seconds", "-1"},
                                                             {"watch", "run", "--quiet-seconds", "soon"},
                                                             {"watch", "run", "--quiet-seconds"},
                                                             {"watch", "run", "extra"}}) {
        const test::CliResult result = runCli(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.back() << result.err;
    }
}

} // namespace
} // namespace strataloom
