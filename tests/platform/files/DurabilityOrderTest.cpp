#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace strataloom {
namespace {

namespace fs = std::filesystem;

struct Sync {
    std::string call; // fsync, fdatasync or syncfs
    std::string kind; // file, folder or other
    std::string path;
};

std::vector<Sync> syncsIn(const std::string& log)
{
    std::vector<Sync> syncs;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find(' '), second = line.find(' ', first + 1);
        syncs.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1)});
    }
    return syncs;
}

// The files made durable whose names were not made durable after them: by a
// sync of their folder, or of the whole file system, later in the run. The
// index's own files are SQLite's to order.
std::vector<std::string> namesNotDurableAfterTheirFiles(const std::vector<Sync>& syncs)
{
    std::vector<std::string> unordered;
    for (std::size_t i = 0; i < syncs.size(); ++i) {
        const fs::path file = syncs[i].path;
        if (syncs[i].kind != "file" || file.filename().native().rfind("index.sqlite", 0) == 0)
            continue;
        bool named = false;
        for (std::size_t later = i + 1; later < syncs.size() && !named; ++later)
            named = syncs[later].call == "syncfs"
                 || (syncs[later].kind == "folder" && syncs[later].path == file.parent_path().native());
        if (!named)
            unordered.push_back(file.native());
    }
    return unordered;
}

// The stored files' folders synced with no commit of the index after them: a
// version must be recorded only once its stored file and name are durable.
std::vector<std::string> foldersNotFollowedByTheIndex(const std::vector<Sync>& syncs)
{
    std::vector<std::string> unordered;
    for (std::size_t i = 0; i < syncs.size(); ++i) {
        if (syncs[i].kind != "folder" || syncs[i].path.find("/strataloom/documents/") == std::string::npos)
            continue;
        bool recorded = false;
        for (std::size_t later = i + 1; later < syncs.size() && !recorded; ++later)
            recorded = fs::path(syncs[later].path).filename() == "index.sqlite-wal";
        if (!recorded)
            unordered.push_back(syncs[i].path);
    }
    return unordered;
}

// The command line's operations run with a shim that records each sync; in
// every one, a file's data reaches the disk before the folder entry naming it,
// and that before the index records it. A power cut in between would otherwise
// leave a name without its contents, or a version without its file, which no
// look at the files afterwards can tell apart from the right order.
TEST(DurabilityOrder, EveryFileIsMadeDurableBeforeTheFolderNamingIt)
{
    FileVersionStore store;
    const std::string scratch = fs::canonical(test::makeScratchFolder("durability")).native();
    const std::string document = scratch + "/Report.txt";
    test::writeFile(document, "first");
    const std::string numbered = scratch + "/numbered";
    fs::create_directories(numbered);
    for (const char* name : {"n00000.txt", "n00001.txt", "n00002.txt"})
        test::writeFile(numbered + "/" + name, name);
    const std::string log = scratch + "/syncs";
    const char* asan = std::getenv("ASAN_OPTIONS");
    // A sanitized program wants its runtime loaded first; the order does not matter here.
    const std::string asanOptions = std::string(asan ? asan : "") + ":verify_asan_link_order=0";

    const std::vector<std::vector<std::string>> operations = {
        {"save-version", document},
        {"save-version", document},
        {"unarchive", numbered, scratch + "/restored.txt"},
        {"archive", document, scratch + "/new folder/archive"},
    };
    for (const std::vector<std::string>& arguments : operations) {
        SCOPED_TRACE(arguments.front() + " " + arguments.back());
        test::writeFile(document, "contents at " + arguments.front() + " " + arguments.back());
        fs::remove(log);
        setenv("LD_PRELOAD", STRATALOOM_SYNC_RECORDER, 1);
        setenv("STRATALOOM_SYNC_LOG", log.c_str(), 1);
        setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
        const test::CliResult result = test::runCli(arguments);
        unsetenv("LD_PRELOAD");
        unsetenv("STRATALOOM_SYNC_LOG");
        asan ? setenv("ASAN_OPTIONS", asan, 1) : unsetenv("ASAN_OPTIONS");
        ASSERT_EQ(result.exitCode, 0) << result.err;

        ASSERT_TRUE(fs::exists(log)) << "nothing was made durable";
        const std::vector<Sync> syncs = syncsIn(test::readFile(log));
        EXPECT_EQ(namesNotDurableAfterTheirFiles(syncs), std::vector<std::string>{}) << test::readFile(log);
        EXPECT_EQ(foldersNotFollowedByTheIndex(syncs), std::vector<std::string>{}) << test::readFile(log);
    }
}

} // namespace
} // namespace strataloom
