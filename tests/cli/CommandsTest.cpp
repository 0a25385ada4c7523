#include "FileDescriptor.h"
#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include "Names.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::runCli;
using Row = std::vector<std::string>;
using Arguments = std::vector<std::string>;

std::vector<Row> rowsOf(const std::string& output)
{
    std::vector<Row> rows;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string field; std::getline(fields, field, '\t');)
            rows.back().push_back(field);
    }
    return rows;
}

std::map<std::string, std::uintmax_t> filesUnder(const std::string& root)
{
    std::map<std::string, std::uintmax_t> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        files[entry.path().native()] = entry.is_regular_file() ? entry.file_size() : 0;
    return files;
}

class Commands : public testing::Test {
protected:
    FileVersionStore store;
    std::string location = store.location();
    std::string documents = test::makeScratchFolder("documents");
};

TEST_F(Commands, SaveVersionThenVersionsListsTheSavedVersionsThenTheFile)
{
    const std::string document = documents + "/Report.txt";
    // Stored files of their own, which can go missing.
    const std::vector<std::pair<std::string, FileDates>> saves = {{test::unpackable("first"),
                                                                   {{978'307'200, 1}, {1'577'934'245, 123'456'789}}},
                                                                  {test::unpackable("second!"),
                                                                   {{978'307'201, 0}, {1'600'000'000, 5}}}};
    for (const auto& [contents, dates] : saves) {
        test::writeFile(document, contents);
        ASSERT_TRUE(setDates(document, dates));
        const test::CliResult saved = runCli({"save-version", "Report.txt"}, documents);
        EXPECT_EQ(saved.exitCode, 0) << saved.err;
        EXPECT_EQ(saved.out + saved.err, "");
    }
    test::writeFile(document, "current contents");
    ASSERT_TRUE(setDates(document, {{5, 0}, {6, 999'999'999}}));
    const std::string lost = test::storedPath(store, FileUrl::fromPath(document), 1);
    fs::remove(lost);

    const test::CliResult result = runCli({"versions", "Report.txt"}, documents);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto rows = rowsOf(result.out);
    ASSERT_EQ(rows.size(), 3u);
    // The id: the first 12 digits of the stored file's name.
    EXPECT_EQ(rows[0], (Row{"00000", rows[0][6].substr(rows[0][6].size() - 32, 12), "2020-01-02T03:04:05.123456789Z",
                            "2001-01-01T00:00:00.000000001Z", std::to_string(saves[0].first.size()), "local",
                            rows[0][6], "explicit", "-"}));
    EXPECT_EQ(test::readFile(rows[0][6]), saves[0].first);
    EXPECT_EQ(rows[1], (Row{"00001", lost.substr(lost.size() - 32, 12), "2020-09-13T12:26:40.000000005Z",
                            "2001-01-01T00:00:01.000000000Z", rows[1][4], "missing", lost, "explicit", "-"}));
    EXPECT_EQ(rows[2], (Row{"00002", "-", "1970-01-01T00:00:06.999999999Z", "1970-01-01T00:00:05.000000000Z", "16",
                            "local", document, "-", "-"}));
}

// Each command closes its connection without a checkpoint; the index's
// write-ahead log must still not grow with the history (it reached 20 MB for
// 423 saves of a 40 KB document), nor leave an index that misses the saves.
TEST_F(Commands, ManySavesKeepTheIndexLogSmall)
{
    const std::string document = documents + "/Notes.txt";
    std::string text;
    for (int save = 0; save < 80; ++save) {
        text += "line " + std::to_string(save) + " of the notes, with enough words to change the index\n";
        test::writeFile(document, text);
        ASSERT_EQ(runCli({"save-version", "Notes.txt"}, documents).exitCode, 0);
    }
    std::error_code missing;
    const std::uintmax_t log = fs::file_size(location + "/index.sqlite-wal", missing);
    EXPECT_LT(missing ? 0 : log, 2u * 1024 * 1024);
    EXPECT_EQ(rowsOf(runCli({"versions", document}).out).size(), 81u);
    // A compacted store is at rest: nothing left in the log.
    ASSERT_EQ(runCli({"compact"}).exitCode, 0);
    const std::uintmax_t folded = fs::file_size(location + "/index.sqlite-wal", missing);
    EXPECT_TRUE(missing || folded == 0) << folded;
    EXPECT_EQ(rowsOf(runCli({"versions", document}).out).size(), 81u);
}

TEST_F(Commands, FailuresExitOneWithAMessageAndUsageErrorsExitTwo)
{
    const std::string missing = documents + "/missing";
    for (const Arguments& arguments : std::vector<Arguments>{{"versions", missing},
                                                             {"save-version", missing},
                                                             {"save-version", documents},
                                                             {"archive", missing}}) {
        const test::CliResult result = runCli(arguments);
        EXPECT_EQ(result.exitCode, 1) << arguments[0];
        EXPECT_EQ(result.err.rfind("strataloom-cli: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(arguments[1]), std::string::npos) << result.err;
    }
    for (const Arguments& arguments : std::vector<Arguments>{{"versions"},
                                                             {"save-version", "--bogus", missing},
                                                             {"versions", missing, missing},
                                                             {"check", "extra"},
                                                             {"prune", "--force"},
                                                             {"documents", "extra"},
                                                             {"forget"},
                                                             {"forget", "--id"},
                                                             {"forget", missing, missing},
                                                             {"archive", ""}}) {
        const test::CliResult result = runCli(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments[0];
    }
    EXPECT_FALSE(fs::exists(location));

    // A damaged index is a failure, not an empty store.
    const FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {test::unpackable("v0")}, "now");
    const std::string stored = test::storedPath(store, notes, 0);
    for (const char* suffix : {"-wal", "-shm"})
        fs::remove(location + "/index.sqlite" + suffix);
    test::writeFile(location + "/index.sqlite", std::string(4096, 'z'));
    for (const Arguments& arguments : std::vector<Arguments>{{"versions", notes.path()},
                                                             {"save-version", notes.path()},
                                                             {"check"},
                                                             {"prune"},
                                                             {"documents"},
                                                             {"forget", notes.path()}}) {
        const test::CliResult result = runCli(arguments);
        EXPECT_EQ(result.exitCode, 1) << arguments[0];
        EXPECT_EQ(result.err.rfind("strataloom-cli: ", 0), 0u) << result.err;
    }
    EXPECT_EQ(test::readFile(stored), test::unpackable("v0"));
}

// A name holding a newline and tabs cannot forge a line or a field of the
// text lists, which escape names; JSON keeps their exact bytes.
TEST_F(Commands, JsonCarriesTheListedFieldsAndNamesByteForByte)
{
    for (const std::string name : {"caf\xe9 \xff\xfe.txt", "\xed\xa0\x80 surrogate.txt", "truncated \xe2\x82.txt",
                                   "quote \" back\\slash \x01 r\xc3\xa9sum\xc3\xa9 \xf0\x9f\x98\x80.txt",
                                   "notes.txt\n00009\tforged\t\x1b[2J\\"}) {
        SCOPED_TRACE(name);
        const FileUrl document = test::documentWithVersions(store, documents, name, {"v0", "version 1"}, "now!");
        fs::remove(test::storedPath(store, document, 0));
        const test::CliResult json = runCli({"versions", "--json", document.path()});
        ASSERT_EQ(json.exitCode, 0) << json.err;
        const QJsonArray array = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
        const auto rows = rowsOf(runCli({"versions", document.path()}).out);
        ASSERT_EQ(array.size(), 3) << json.out;
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[2].size(), 9u);
        EXPECT_EQ(rows[2][6], printableName(document.path()));
        for (std::size_t i = 0; i < 3; ++i) {
            const QJsonObject o = array[static_cast<int>(i)].toObject();
            const std::string path = o.contains("pathBytes")
                                       ? QByteArray::fromBase64(o["pathBytes"].toString().toLatin1()).toStdString()
                                       : o["path"].toString().toStdString();
            const std::string id = o["id"].isNull() ? "-" : o["id"].toString().toStdString().substr(0, 12);
            EXPECT_EQ((Row{std::to_string(o["index"].toInt(-1)), id, o["modificationDate"].toString().toStdString(),
                           o["creationDate"].toString().toStdString(), std::to_string(o["size"].toInteger(-1)),
                           o["local"].toBool() ? "local" : "missing", printableName(path)}),
                      (Row{std::to_string(i), rows[i][1], rows[i][2], rows[i][3], rows[i][4], rows[i][5], rows[i][6]}));
        }
        const auto listed = rowsOf(runCli({"documents"}).out);
        for (const Row& row : listed)
            EXPECT_EQ(row.size(), 6u);
        EXPECT_EQ(std::count_if(listed.begin(), listed.end(),
                                [&](const Row& row) { return row.back() == printableName(document.path()); }),
                  1);
    }
}

// Each version's stored bytes count what its record takes once: a version
// whose contents are stored already adds nothing.
TEST_F(Commands, VersionsJsonCountsEachStoredRecordOnce)
{
    const std::string same(100 * 1024, 's');
    const FileUrl document = test::documentWithVersions(store, documents, "same.txt", {same, same, "other"}, "now");
    const test::CliResult json = runCli({"versions", "--json", document.path()});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const QJsonArray array = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
    ASSERT_EQ(array.size(), 4) << json.out;
    std::vector<qint64> stored;
    for (const auto& value : array)
        stored.push_back(value.toObject()["storedBytes"].toInteger(-1));
    EXPECT_GT(stored[0], 0);
    EXPECT_EQ(stored[1], 0);
    EXPECT_GT(stored[2], 0);
    EXPECT_EQ(stored[3], -1) << "null for the current version";
    EXPECT_TRUE(array[3].toObject()["storedBytes"].isNull());
    const QJsonArray listed =
        QJsonDocument::fromJson(QByteArray::fromStdString(runCli({"documents", "--json"}).out)).array();
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed[0].toObject()["storedBytes"].toInteger(), stored[0] + stored[2]);
    EXPECT_EQ(listed[0].toObject()["bytes"].toInteger(), 2 * 100 * 1024 + 5);
}

// Off a terminal no progress is shown.
TEST_F(Commands, ArchiveWritesBesideTheFileAndSaysNothingWhenAllIsWell)
{
    const std::string stem = "caf\xe9\xff";
    test::documentWithVersions(store, documents, stem + ".txt", {"v0", "v1"}, "now");
    const test::CliResult result = runCli({"archive", "./" + stem + ".txt"}, documents);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out + result.err, "");
    const std::string folder = documents + "/" + stem + " versions/" + stem;
    EXPECT_EQ(test::entriesOf(documents + "/" + stem + " versions"),
              (std::set<std::string>{stem + "00000.txt", stem + "00001.txt", stem + "00002.txt"}));
    EXPECT_EQ(test::readFile(folder + "00002.txt"), "now");
    EXPECT_EQ(readDates(folder + "00001.txt"), test::historicalDates(1));
}

TEST_F(Commands, ArchiveReportsEachDetailInOrderAndFails)
{
    // A stored file gone, and a packed record damaged.
    const FileUrl notes =
        test::documentWithVersions(store, documents, "notes.txt", {"v0", test::unpackable("v1"), "v2", "v3"}, "now");
    fs::remove(test::storedPath(store, notes, 1));
    test::corruptVersion(store, notes, 3);
    const test::CliResult result = runCli({"archive", notes.path(), documents + "/out"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "strataloom-cli: Some versions aren't stored locally.\n"
                          "strataloom-cli: Some versions aren't stored locally.\n");
    EXPECT_EQ(test::entriesOf(documents + "/out"),
              (std::set<std::string>{"notes00000.txt", "notes00002.txt", "notes00004.txt"}));
}

// A deleted document's versions are not prune's to remove: only forget removes them.
TEST_F(Commands, CheckNamesEachProblemAndPruneRemovesWhatItsDryRunLists)
{
    // Stored files, which can go missing or be damaged.
    const FileUrl kept = test::documentWithVersions(store, documents, "kept \xff.txt",
                                                    {"k0", test::unpackable("k1"), test::unpackable("k2")}, "k");
    const FileUrl gone =
        test::documentWithVersions(store, documents, "gone.txt", {test::unpackable("g0"), test::unpackable("g1")}, "g");
    EXPECT_EQ(runCli({"check"}).exitCode, 0);
    const std::string missing = test::storedPath(store, kept, 1), corrupted = test::storedPath(store, kept, 2);
    const std::string gone0 = test::storedPath(store, gone, 0), gone1 = test::storedPath(store, gone, 1);
    const std::string orphan = fs::path(missing).parent_path().native() + "/0123456789abcdef0123456789abcdef";
    fs::remove(missing);
    test::corrupt(corrupted);
    test::writeFile(orphan, "orphan");
    fs::remove(gone.path());
    const std::string listedBefore = runCli({"versions", kept.path()}).out;
    const auto before = filesUnder(location);

    const std::string damaged = "missing\t" + kept.path() + "\t00001\t" + missing + "\n" + "corrupted\t" + kept.path()
                              + "\t00002\t" + corrupted + "\n";
    const test::CliResult checked = runCli({"check"});
    EXPECT_EQ(checked.exitCode, 1);
    EXPECT_EQ(checked.out, damaged + "unreferenced\t" + orphan + "\n");
    EXPECT_EQ(checked.err, "strataloom-cli: 3 problems found in the version store " + location + "\n");
    EXPECT_EQ(filesUnder(location), before);

    const std::string removable = "unreferenced\t" + orphan + "\n";
    const test::CliResult dryRun = runCli({"prune", "--dry-run"});
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.err;
    EXPECT_EQ(dryRun.out, removable);
    EXPECT_EQ(filesUnder(location), before);

    const test::CliResult pruned = runCli({"prune"});
    EXPECT_EQ(pruned.exitCode, 0) << pruned.err;
    EXPECT_EQ(pruned.out, removable);
    EXPECT_FALSE(fs::exists(orphan));
    EXPECT_EQ(test::readFile(gone0) + test::readFile(gone1), test::unpackable("g0") + test::unpackable("g1"));
    EXPECT_EQ(runCli({"versions", kept.path()}).out, listedBefore);
    EXPECT_EQ(runCli({"check"}).out, damaged);
}

// Documents lists what forget takes, by the deleted file's path or by id, each
// after a dry run that changes nothing.
TEST_F(Commands, DocumentsListsEachDocumentAndForgetRemovesWhatItsDryRunLists)
{
    for (const char* format : {"", "--json"}) {
        const test::CliResult empty = runCli(format[0] ? Arguments{"documents", format} : Arguments{"documents"});
        EXPECT_EQ(empty.exitCode, 0) << empty.err;
        EXPECT_EQ(empty.out + empty.err, format[0] ? "[\n]\n" : "");
    }
    EXPECT_FALSE(fs::exists(location));
    const FileUrl kept = test::documentWithVersions(store, documents, "kept \xff.txt", {"k0", "k1", "k2"}, "k");
    const FileUrl gone = test::documentWithVersions(store, documents, "gone.txt", {"g0", "g10"}, "g");
    const std::string gone0 = test::storedPath(store, gone, 0), gone1 = test::storedPath(store, gone, 1);
    const std::string keptId = fs::path(test::storedPath(store, kept, 0)).parent_path().filename().native();
    const std::string goneId = fs::path(gone0).parent_path().filename().native();

    // Beside their size, what their records take on disk: their packed bytes.
    const auto allocated = [&](const FileUrl& document, std::size_t count) {
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const FileVersion version = store.otherVersionsOfItem(document).value().at(i);
            EXPECT_FALSE(fs::exists(version.URL().path()));
            bytes += version.storedAt()->storedBytes;
        }
        return std::to_string(bytes);
    };
    const std::string goneStored = allocated(gone, 2), keptStored = allocated(kept, 3);
    fs::remove(gone.path());

    const test::CliResult listed = runCli({"documents"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    std::vector<Row> rows{{goneId, "2", "5", goneStored, "missing", gone.path()},
                          {keptId, "3", "6", keptStored, "found", kept.path()}};
    EXPECT_EQ(rowsOf(listed.out),
              (std::vector<Row>{rows[0], {keptId, "3", "6", keptStored, "found", printableName(kept.path())}}));
    const test::CliResult json = runCli({"documents", "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    const QJsonArray array = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
    ASSERT_EQ(array.size(), 2) << json.out;
    for (std::size_t i = 0; i < 2; ++i) {
        const QJsonObject o = array[static_cast<int>(i)].toObject();
        EXPECT_EQ(o.contains("pathBytes"), i == 1);
        const std::string path = o.contains("pathBytes")
                                   ? QByteArray::fromBase64(o["pathBytes"].toString().toLatin1()).toStdString()
                                   : o["path"].toString().toStdString();
        EXPECT_EQ((Row{o["id"].toString().toStdString(), std::to_string(o["versions"].toInteger(-1)),
                       std::to_string(o["bytes"].toInteger(-1)), std::to_string(o["storedBytes"].toInteger(-1)),
                       o["found"].toBool() ? "found" : "missing", path}),
                  rows[i]);
    }

    const std::string goneLines =
        "version\t" + gone.path() + "\t00000\t" + gone0 + "\n" + "version\t" + gone.path() + "\t00001\t" + gone1 + "\n";
    std::string keptLines;
    for (std::size_t i = 0; i < 3; ++i)
        keptLines +=
            "version\t" + kept.path() + "\t0000" + std::to_string(i) + "\t" + test::storedPath(store, kept, i) + "\n";
    for (const auto& [arguments, lines] :
         std::vector<std::pair<Arguments, std::string>>{{{gone.path()}, goneLines}, {{"--id", keptId}, keptLines}}) {
        auto command = Arguments{"forget", "--dry-run"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        const auto before = filesUnder(location);
        const test::CliResult dryRun = runCli(command);
        EXPECT_EQ(dryRun.exitCode, 0) << dryRun.err;
        EXPECT_EQ(dryRun.out + dryRun.err, lines);
        EXPECT_EQ(filesUnder(location), before);
        command.erase(command.begin() + 1);
        const test::CliResult forgotten = runCli(command);
        EXPECT_EQ(forgotten.exitCode, 0) << forgotten.err;
        EXPECT_EQ(forgotten.out + forgotten.err, lines);
    }
    EXPECT_EQ(runCli({"documents"}).out, "");
}

// With stderr on a terminal each entry is shown as it is written, and Ctrl-C
// stops between entries, keeping those written.
TEST_F(Commands, OnATerminalArchiveShowsProgressAndCtrlCKeepsTheEntriesWritten)
{
    const std::string base(180, 'n'); // long lines fill the terminal's buffer quickly
    std::vector<std::string> contents;
    for (int i = 0; i < 1500; ++i)
        contents.push_back("version " + std::to_string(i));
    std::string path = test::documentWithVersions(store, documents, base + ".txt", contents, "now").path();
    std::string command = "archive", folder = documents + "/interrupted";
    char* argv[] = {const_cast<char*>(STRATALOOM_CLI), command.data(), path.data(), folder.data(), nullptr};
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0 && dup2(null, STDOUT_FILENO) >= 0)
            execv(STRATALOOM_CLI, argv);
        _exit(127);
    }
    ASSERT_GT(child, 0);
    // Until the terminal is read the child stops once its buffer is full, so it cannot finish first.
    for (int tries = 0; tries < 30'000 && !(fs::exists(folder) && test::entriesOf(folder).size() >= 2); ++tries)
        usleep(2000);
    kill(child, SIGINT);
    std::string shown;
    char buffer[4096];
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR);)
        shown.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    close(terminal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    EXPECT_NE(shown.find("1/1501 " + base + "00001.txt"), std::string::npos) << shown;
    EXPECT_NE(shown.find("strataloom-cli: interrupted"), std::string::npos) << shown;

    const std::set<std::string> written = test::entriesOf(folder);
    ASSERT_GE(written.size(), 2u);
    EXPECT_LT(written.size(), 1501u);
    for (std::size_t i = 0; i < written.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%05zu.txt", i);
        ASSERT_TRUE(written.count(base + number)) << number;
        EXPECT_EQ(test::readFile(folder + "/" + base + number), "version " + std::to_string(i));
        EXPECT_EQ(readDates(folder + "/" + base + number), test::historicalDates(static_cast<int>(i)));
    }
}

// A lost index stops adds and prune until check --repair rebuilds it from the
// stored files; then everything is listed as before.
TEST_F(Commands, CheckRepairRebuildsALostIndexThatAddsAndPruneRefuseToReplace)
{
    const FileUrl kept = test::documentWithVersions(store, documents, "kept \xff.txt", {"k0", "k1", "k2"}, "k");
    const std::string listedBefore = runCli({"versions", kept.path()}).out;
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(location + "/index.sqlite" + suffix);

    test::writeFile(documents + "/other.txt", "other");
    const test::CliResult refused = runCli({"save-version", documents + "/other.txt"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("check --repair"), std::string::npos) << refused.err;
    EXPECT_EQ(runCli({"prune"}).exitCode, 1);

    // Not while a watcher adds to the store: it says how to stop it first.
    {
        const UniqueFd watcher(open((location + "/watcher.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_EQ(flock(watcher.get(), LOCK_EX), 0);
        const test::CliResult busy = runCli({"check", "--repair"});
        EXPECT_EQ(busy.exitCode, 1);
        EXPECT_NE(busy.err.find("systemctl --user stop strataloom-watch.service"), std::string::npos) << busy.err;
        EXPECT_FALSE(fs::exists(location + "/index.sqlite"));
    }

    const test::CliResult repaired = runCli({"check", "--repair"});
    EXPECT_EQ(repaired.exitCode, 0) << repaired.err;
    EXPECT_NE(repaired.err.find("no version index"), std::string::npos) << repaired.err;
    EXPECT_NE(repaired.err.find("strataloom-cli: rebuilt the version index: 1 documents, 3 versions\n"),
              std::string::npos)
        << repaired.err;
    EXPECT_EQ(runCli({"versions", kept.path()}).out, listedBefore);
    EXPECT_EQ(runCli({"prune"}).out, "");
    EXPECT_EQ(runCli({"check", "--repair"}).err, "");
}

// The help names the program as it is typed, whatever path started it, and
// says what the program does.
TEST_F(Commands, HelpNamesTheProgramAndWhatItDoes)
{
    const test::CliResult overview = runCli({"--help"});
    EXPECT_EQ(overview.exitCode, 0);
    EXPECT_TRUE(overview.out.starts_with("Usage: strataloom-cli [options] command\n")) << overview.out;
    for (const char* topic : {"watcher", "archive", "unarchive", "thin", "strataloom FILE"})
        EXPECT_NE(overview.out.find(topic), std::string::npos) << topic;
    const struct {
        std::vector<std::string> arguments;
        std::string usage;
    } commands[] = {
        {{"save-version", "--help"}, "Usage: strataloom-cli [options] save-version FILE\n"},
        {{"watch", "add", "--help"}, "Usage: strataloom-cli [options] watch add FOLDER...\n"},
    };
    for (const auto& c : commands)
        EXPECT_TRUE(runCli(c.arguments).out.starts_with(c.usage)) << c.usage;
}

} // namespace
} // namespace strataloom
