// The store's own commands: check, prune, documents, forget and the repair
// of a lost index.
#include "FileDescriptor.h"
#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"
#include "support/StoreFixture.h"

#include "Names.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include <fcntl.h>
#include <sys/file.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::Row;
using test::rowsOf;
using test::runCli;
using Arguments = std::vector<std::string>;

std::map<std::string, std::uintmax_t> filesUnder(const std::string& root)
{
    std::map<std::string, std::uintmax_t> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        files[entry.path().native()] = entry.is_regular_file() ? entry.file_size() : 0;
    return files;
}

using StoreCommands = test::StoreFixture;

// A deleted document's versions are not prune's to remove: only forget removes them.
TEST_F(StoreCommands, CheckNamesEachProblemAndPruneRemovesWhatItsDryRunLists)
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
TEST_F(StoreCommands, DocumentsListsEachDocumentAndForgetRemovesWhatItsDryRunLists)
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

// A lost index stops adds and prune until check --repair rebuilds it from the
// stored files; then everything is listed as before.
TEST_F(StoreCommands, CheckRepairRebuildsALostIndexThatAddsAndPruneRefuseToReplace)
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

} // namespace
} // namespace strataloom
