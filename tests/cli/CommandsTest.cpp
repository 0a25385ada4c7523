#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"
#include "support/StoreFixture.h"

#include "Names.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::Row;
using test::rowsOf;
using test::runCli;
using Arguments = std::vector<std::string>;

using Commands = test::StoreFixture;

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
