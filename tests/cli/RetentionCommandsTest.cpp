#include "support/OperationTestSupport.h"
#include "support/StoredContents.h"
#include "support/TestEnvironment.h"

#include "FileVersionStore.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sstream>

namespace strataloom {
namespace {

using test::runCli;

// The last two columns of each line of `versions`: how each was taken and
// whether it is pinned.
std::vector<std::string> kinds(const std::string& document)
{
    const test::CliResult listed = runCli({"versions", document});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    std::vector<std::string> result;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        const auto last = line.rfind('\t');
        const auto kind = line.rfind('\t', last - 1);
        result.push_back(line.substr(kind + 1, last - kind - 1) + " " + line.substr(last + 1));
    }
    return result;
}

TEST(RetentionCommands, PinThinAndDeleteVersionAsTheUserSeesThem)
{
    const std::string document = test::makeScratchFolder("documents") + "/Notes.txt";
    for (const char* contents : {"one", "two", "three"}) {
        test::writeFile(document, contents);
        ASSERT_EQ(runCli({"save-version", document}).exitCode, 0);
    }
    test::writeFile(document, "now");
    EXPECT_EQ(runCli({"pin", document, "00001"}).exitCode, 0);
    EXPECT_EQ(kinds(document), (std::vector<std::string>{"explicit -", "explicit pinned", "explicit -", "- -"}));
    EXPECT_EQ(runCli({"unpin", document, "1"}).exitCode, 0);
    EXPECT_EQ(kinds(document)[1], "explicit -");

    // Explicit versions are never thinned, however far ahead the rules are applied.
    const test::CliResult preview = runCli({"thin", "--dry-run", "--json", "--now", "2099-01-01T00:00:00Z"});
    ASSERT_EQ(preview.exitCode, 0) << preview.err;
    const QJsonObject decided = QJsonDocument::fromJson(QByteArray::fromStdString(preview.out)).object();
    EXPECT_EQ(decided["removed"].toInt(), 0);
    EXPECT_EQ(decided["versions"].toArray().size(), 3);
    EXPECT_EQ(decided["versions"].toArray()[0].toObject()["rule"].toString(), "explicit");

    const test::CliResult dryRun = runCli({"delete-version", "--dry-run", document, "0"});
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.err;
    EXPECT_EQ(kinds(document).size(), 4u);
    EXPECT_EQ(runCli({"delete-version", document, "0", "2"}).exitCode, 0);
    EXPECT_EQ(kinds(document), (std::vector<std::string>{"explicit -", "- -"}));

    // Bad numbers and times are refused before anything changes.
    EXPECT_EQ(runCli({"pin", document, "first"}).exitCode, 2);
    EXPECT_EQ(runCli({"delete-version", document, "7"}).exitCode, 1);
    EXPECT_EQ(runCli({"thin", "--now", "tomorrow"}).exitCode, 2);
    EXPECT_EQ(kinds(document).size(), 2u);
}

// The listing as JSON objects: the stored versions, then the current one.
QJsonArray listedJson(const std::string& document)
{
    const test::CliResult listed = runCli({"versions", "--json", document});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    return QJsonDocument::fromJson(QByteArray::fromStdString(listed.out)).array();
}

std::vector<std::string> contentsListed(const std::string& document)
{
    std::vector<std::string> contents;
    const auto versions = FileVersionStore().otherVersionsOfItem(FileUrl::fromPath(document));
    EXPECT_TRUE(versions) << document;
    for (const FileVersion& version : versions.value_or(std::vector<FileVersion>{}))
        contents.push_back(test::contentsOf(version));
    return contents;
}

// The user lists the versions (1 holds "B"); version 0 goes meanwhile and
// they are renumbered. Number 1 with the checksum seen is refused; the id
// seen removes "B" and nothing else.
TEST(RetentionCommands, RenumberingBetweenListingAndActingNeverActsOnAnotherVersion)
{
    const std::string document = test::makeScratchFolder("documents") + "/Notes.txt";
    for (const char* contents : {"A", "B", "C", "D"}) {
        test::writeFile(document, contents);
        ASSERT_EQ(runCli({"save-version", document}).exitCode, 0);
    }
    test::writeFile(document, "now");
    const QJsonObject seen = listedJson(document)[1].toObject();
    const std::string id = seen["id"].toString().toStdString();
    const std::string checksum = seen["checksum"].toString().toStdString();
    ASSERT_EQ(id.size(), 32u);
    ASSERT_EQ(checksum.size(), 32u);
    // The text shows the same id, by its first 12 digits.
    EXPECT_NE(runCli({"versions", document}).out.find("00001\t" + id.substr(0, 12) + "\t"), std::string::npos);

    ASSERT_EQ(runCli({"delete-version", document, "0"}).exitCode, 0);
    const test::CliResult refused = runCli({"delete-version", "--expect-checksum", checksum, document, "1"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("holds other contents than expected"), std::string::npos) << refused.err;
    EXPECT_EQ(contentsListed(document), (std::vector<std::string>{"B", "C", "D"}));

    const test::CliResult removed = runCli({"delete-version", document, id.substr(0, 12)});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(removed.out.rfind("removed " + id.substr(0, 12) + "\t", 0), 0u) << removed.out;
    EXPECT_EQ(contentsListed(document), (std::vector<std::string>{"C", "D"}));

    // Pin, unpin or delete what is gone or already so: exit 1, and say why.
    const std::string c = listedJson(document)[0].toObject()["id"].toString().toStdString().substr(0, 8);
    struct Step {
        std::vector<std::string> arguments;
        int exitCode;
        const char* message;
    };
    const Step steps[] = {
        {{"pin", document, id}, 1, "no stored version"},
        {{"delete-version", document, id}, 1, "no stored version"},
        {{"pin", document, c}, 0, ""},
        {{"pin", document, c}, 1, "is pinned already"},
        {{"unpin", document, c}, 0, ""},
        {{"unpin", document, c}, 1, "is unpinned already"},
        {{"pin", "--expect-checksum", "not hex", document, "0"}, 2, "--expect-checksum takes"},
        {{"pin", "--expect-checksum", checksum, document, "0", "1"}, 2, "give exactly one"},
        {{"pin", document, "1234567g"}, 2, "neither a version number nor a version id"},
    };
    for (const Step& step : steps) {
        const test::CliResult result = runCli(step.arguments);
        EXPECT_EQ(result.exitCode, step.exitCode) << step.arguments.front() << " " << step.arguments.back();
        EXPECT_NE(result.err.find(step.message), std::string::npos) << result.err;
    }
    EXPECT_EQ(contentsListed(document), (std::vector<std::string>{"C", "D"}));
}

} // namespace
} // namespace strataloom
