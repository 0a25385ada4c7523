#include "archive/ArchiveTestSupport.h"
#include "cli/JsonOutput.h"
#include "support/OperationTestSupport.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using test::runCli;

std::vector<std::vector<std::string>> rowsOf(const std::string& output)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t'))
            fields.push_back(field);
        rows.push_back(fields);
    }
    return rows;
}

QJsonArray parseArray(const std::string& json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << json;
    EXPECT_TRUE(document.isArray());
    return document.array();
}

// The exact bytes a JSON object gives for its path.
std::string pathBytesOf(const QJsonObject& object)
{
    if (object.contains(QStringLiteral("pathBytes")))
        return QByteArray::fromBase64(object[QStringLiteral("pathBytes")].toString().toLatin1(),
                                      QByteArray::AbortOnBase64DecodingErrors)
            .toStdString();
    return object[QStringLiteral("path")].toString().toStdString();
}

std::map<std::string, std::uintmax_t> filesUnder(const std::string& root)
{
    std::map<std::string, std::uintmax_t> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        files[entry.path().native()] = entry.is_regular_file() ? entry.file_size() : 0;
    return files;
}

class StoreCommands : public testing::Test {
protected:
    FileVersionStore store;
    std::string documents = test::makeScratchFolder("documents");
    std::string location = store.location();
};

TEST_F(StoreCommands, CheckNamesTheMissingTheCorruptedAndTheOrphanAndFails)
{
    const FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {"v0", "v1", "v2"}, "now");
    const std::string missing = test::storedPath(store, notes, 1);
    const std::string corrupted = test::storedPath(store, notes, 2);
    fs::remove(missing);
    test::corrupt(corrupted);
    const std::string orphan = fs::path(missing).parent_path().native() + "/0123456789abcdef0123456789abcdef";
    test::writeFile(orphan, "orphan");
    const auto before = filesUnder(location);

    const test::CliResult result = runCli({"check"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "missing\t" + notes.path() + "\t00001\t" + missing + "\n" + "corrupted\t" + notes.path()
                              + "\t00002\t" + corrupted + "\n" + "unreferenced\t" + orphan + "\n");
    EXPECT_EQ(result.err, "strataloom-cli: 3 problems found in the version store " + location + "\n");
    EXPECT_EQ(filesUnder(location), before);
}

TEST_F(StoreCommands, DryRunListsWhatPruneThenRemovesAndKeepsTheLivingDocuments)
{
    const FileUrl kept = test::documentWithVersions(store, documents, "kept \xff.txt", {"k0", "k1", "k2"}, "k");
    const FileUrl gone = test::documentWithVersions(store, documents, "gone.txt", {"g0", "g1"}, "g");
    const std::string gone0 = test::storedPath(store, gone, 0);
    const std::string gone1 = test::storedPath(store, gone, 1);
    fs::remove(gone.path());
    const std::string orphan = fs::path(test::storedPath(store, kept, 0)).parent_path().native()
                               + "/0123456789abcdef0123456789abcdef";
    test::writeFile(orphan, "orphan");
    const test::CliResult listedBefore = runCli({"versions", kept.path()});
    const auto before = filesUnder(location);

    const std::string expected = "version\t" + gone.path() + "\t00000\t" + gone0 + "\n" + "version\t" + gone.path()
                                 + "\t00001\t" + gone1 + "\n" + "unreferenced\t" + orphan + "\n";
    const test::CliResult dryRun = runCli({"prune", "--dry-run"});
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.err;
    EXPECT_EQ(dryRun.out, expected);
    EXPECT_EQ(filesUnder(location), before);

    const test::CliResult pruned = runCli({"prune"});
    EXPECT_EQ(pruned.exitCode, 0) << pruned.err;
    EXPECT_EQ(pruned.out, expected);
    EXPECT_FALSE(fs::exists(gone0));
    EXPECT_FALSE(fs::exists(gone1));
    EXPECT_FALSE(fs::exists(orphan));
    EXPECT_EQ(runCli({"versions", kept.path()}).out, listedBefore.out);
    EXPECT_EQ(runCli({"check"}).exitCode, 0);
}

TEST_F(StoreCommands, ArgumentsTheyDoNotTakeAreUsageErrors)
{
    EXPECT_EQ(runCli({"check", "extra"}).exitCode, 2);
    EXPECT_EQ(runCli({"prune", "--force"}).exitCode, 2);
    EXPECT_EQ(runCli({"versions", "--yaml", documents}).exitCode, 2);
    EXPECT_FALSE(fs::exists(location));
}

TEST_F(StoreCommands, JsonCarriesTheSameFieldsAsTheTabSeparatedList)
{
    const FileUrl notes = test::documentWithVersions(store, documents, "notes.txt", {"v0", "version 1"}, "now!");
    fs::remove(test::storedPath(store, notes, 0));
    const test::CliResult tabs = runCli({"versions", notes.path()});
    const test::CliResult json = runCli({"versions", "--json", notes.path()});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.err, "");

    const auto rows = rowsOf(tabs.out);
    const QJsonArray array = parseArray(json.out);
    ASSERT_EQ(rows.size(), 3u);
    ASSERT_EQ(array.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject object = array[i].toObject();
        const auto& row = rows[static_cast<std::size_t>(i)];
        EXPECT_EQ(object.size(), 6);
        EXPECT_EQ(object[QStringLiteral("index")].toInt(-1), std::stoi(row[0]));
        EXPECT_EQ(object[QStringLiteral("modificationDate")].toString().toStdString(), row[1]);
        EXPECT_EQ(object[QStringLiteral("creationDate")].toString().toStdString(), row[2]);
        EXPECT_EQ(std::to_string(object[QStringLiteral("size")].toInteger(-1)), row[3]);
        EXPECT_EQ(object[QStringLiteral("local")].toBool() ? "local" : "missing", row[4]);
        EXPECT_EQ(object[QStringLiteral("path")].toString().toStdString(), row[5]);
    }
    EXPECT_FALSE(array[0].toObject()[QStringLiteral("local")].toBool());
}

TEST_F(StoreCommands, JsonPathsComeBackByteForByte)
{
    // Each name, and whether it is valid UTF-8.
    const std::vector<std::pair<std::string, bool>> names = {
        {"caf\xe9 \xff\xfe.txt", false},          // Latin-1 bytes
        {"\xed\xa0\x80 surrogate.txt", false},     // an encoded surrogate
        {"\xc0\xaf overlong.txt", false},          // an overlong "/"
        {"\xf4\x90\x80\x80 too high.txt", false},  // past U+10FFFF
        {"truncated \xe2\x82.txt", false},
        {"quote \" back\\slash \t tab \x01.txt", true},
        {"r\xc3\xa9sum\xc3\xa9 \xf4\x8f\xbf\xbf \xf0\x9f\x98\x80.txt", true},
    };
    for (const auto& [name, valid] : names) {
        const FileUrl document = test::documentWithVersions(store, documents, name, {"old"}, "new");
        const test::CliResult result = runCli({"versions", "--json", document.path()});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const QJsonArray array = parseArray(result.out);
        ASSERT_EQ(array.size(), 2);
        const QJsonObject current = array[1].toObject();
        EXPECT_EQ(pathBytesOf(current), document.path()) << name;
        EXPECT_EQ(current.contains(QStringLiteral("pathBytes")), !valid) << name;
    }
}

TEST(JsonOutput, StringsAndBase64DecodeToWhatWasWritten)
{
    EXPECT_EQ(cli::jsonString("a\xff" "b"), "\"a\xef\xbf\xbd" "b\"");
    const char raw[] = "nul \0 bell \a del \x7f \"\\/ \n\r\t \xc3\xa9";
    const std::string text(raw, sizeof raw - 1);
    const QJsonArray array = parseArray("[" + cli::jsonString(text) + "]");
    EXPECT_EQ(array[0].toString().toStdString(), text);

    for (const std::string& bytes : std::vector<std::string>{"", "f", "fo", "foo", "foob", "fooba", "foobar",
                                                             std::string("\xff\x00\xfe", 3)}) {
        EXPECT_EQ(QByteArray::fromBase64(QByteArray::fromStdString(cli::base64(bytes))).toStdString(), bytes);
        EXPECT_EQ(cli::base64(bytes), QByteArray::fromStdString(bytes).toBase64().toStdString());
    }
}

} // namespace
} // namespace strataloom
