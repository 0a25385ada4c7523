#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
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
// sync of their folder, or of the whole file system, later in the run, unless
// an earlier run made them `named` already or they are gone (a copy dropped).
// The index's own files are SQLite's to order.
std::vector<std::string> namesNotDurableAfterTheirFiles(const std::vector<Sync>& syncs,
                                                        const std::set<std::string>& named)
{
    std::vector<std::string> unordered;
    for (std::size_t i = 0; i < syncs.size(); ++i) {
        const fs::path file = syncs[i].path;
        if (syncs[i].kind != "file" || file.filename().native().rfind("index.sqlite", 0) == 0
            || named.count(file.native()) || !fs::exists(file))
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

// Runs the command line with a shim that records each sync, and returns them.
std::vector<Sync> syncsOf(const std::vector<std::string>& arguments, const std::string& log)
{
    const char* asan = std::getenv("ASAN_OPTIONS");
    fs::remove(log);
    // A sanitized program wants its runtime loaded first; the order does not matter here.
    const test::CliResult result =
        test::runProgram(STRATALOOM_CLI, arguments, {},
                         {std::string("LD_PRELOAD=") + STRATALOOM_SYNC_RECORDER, "STRATALOOM_SYNC_LOG=" + log,
                          "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return fs::exists(log) ? syncsIn(test::readFile(log)) : std::vector<Sync>{};
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

    const std::vector<std::vector<std::string>> operations = {
        {"save-version", document},
        {"save-version", document},
        {"unarchive", numbered, scratch + "/restored.txt"},
        {"archive", document, scratch + "/new folder/archive"},
    };
    // A document's log is named durably by its first add; later ones only append.
    std::set<std::string> named;
    for (const std::vector<std::string>& arguments : operations) {
        SCOPED_TRACE(arguments.front() + " " + arguments.back());
        test::writeFile(document, "contents at " + arguments.front() + " " + arguments.back());
        const std::vector<Sync> syncs = syncsOf(arguments, log);
        ASSERT_FALSE(syncs.empty()) << "nothing was made durable";
        const std::vector<std::string> unnamed = namesNotDurableAfterTheirFiles(syncs, named);
        EXPECT_EQ(unnamed, std::vector<std::string>{}) << test::readFile(log);
        EXPECT_EQ(foldersNotFollowedByTheIndex(syncs), std::vector<std::string>{}) << test::readFile(log);
        // The unarchived file, with its id (fsync), before the index names it.
        if (arguments.front() == "unarchive") {
            const auto file = std::find_if(syncs.begin(), syncs.end(), [&](const Sync& sync) {
                return sync.call == "fsync" && sync.path == arguments.back();
            });
            const auto index = std::find_if(syncs.rbegin(), syncs.rend(), [](const Sync& sync) {
                return fs::path(sync.path).filename() == "index.sqlite-wal";
            });
            EXPECT_TRUE(file != syncs.end() && index != syncs.rend() && file < index.base()) << test::readFile(log);
        }
        for (const Sync& sync : syncs)
            if (sync.kind == "file" && std::find(unnamed.begin(), unnamed.end(), sync.path) == unnamed.end())
                named.insert(sync.path);
    }
}

// A save-version of an edit, its predecessor re-encoded as a small (packed)
// delta, waits for each barrier the order needs and no more: the re-encoding
// goes with the add, in its log write, its barrier and its commit, the
// index is never checkpointed into its main file, which its log already
// holds durably, and no folder is synced: nothing new is named (both records
// are packed, the log was named durably by the first add).
TEST(DurabilityOrder, ASaveOfAnEditPaysOnlyTheBarriersItsOrderNeeds)
{
    FileVersionStore store;
    const std::string scratch = fs::canonical(test::makeScratchFolder("barriers")).native();
    const std::string document = scratch + "/Notes.txt";
    std::string text;
    for (int line = 0; line < 400; ++line)
        text += "line " + std::to_string(line) + " of the notes, long enough to be worth a delta\n";
    test::writeFile(document, text);
    ASSERT_EQ(test::runCli({"save-version", document}).exitCode, 0);
    test::writeFile(document, text + "one more line\n");
    const std::vector<Sync> syncs = syncsOf({"save-version", document}, scratch + "/syncs");

    const auto count = [&](const std::function<bool(const fs::path&)>& which) {
        return std::count_if(syncs.begin(), syncs.end(), [&](const Sync& sync) { return which(sync.path); });
    };
    const struct {
        const char* what;
        std::function<bool(const fs::path&)> which;
        long expected;
    } cases[] = {
        {"index main file", [](const fs::path& path) { return path.filename() == "index.sqlite"; }, 0},
        {"index log", [](const fs::path& path) { return path.filename() == "index.sqlite-wal"; }, 1},
        {"document logs", [](const fs::path& path) { return path.extension() == ".log"; }, 1},
        {"the logs' folder", [](const fs::path& path) { return path.filename() == "documents"; }, 0},
        {"documents' folders",
         [](const fs::path& path) { return path.parent_path().filename() == "documents" && fs::is_directory(path); },
         0},
    };
    for (const auto& one : cases)
        EXPECT_EQ(count(one.which), one.expected) << one.what << "\n" << test::readFile(scratch + "/syncs");
}

} // namespace
} // namespace strataloom
