#include "support/OperationTestSupport.h"
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

} // namespace
} // namespace strataloom
