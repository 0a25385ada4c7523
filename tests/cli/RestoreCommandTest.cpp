#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include "VersionEdits.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace strataloom {
namespace {

using test::runCli;
using Arguments = std::vector<std::string>;
using Strings = std::vector<std::string>;

class RestoreCommand : public testing::Test {
protected:
    Strings history()
    {
        const std::vector<FileVersion> versions =
            store.otherVersionsOfItem(FileUrl::fromPath(document)).value_or(std::vector<FileVersion>{});
        Strings contents;
        for (const FileVersion& version : versions)
            contents.push_back(test::contentsOf(version));
        return contents;
    }

    FileVersionStore store;
    std::string folder = test::makeScratchFolder("documents");
    std::string document = folder + "/Report.txt";
};

TEST_F(RestoreCommand, RestoresInPlaceAndSaysHowToUndoIt)
{
    test::documentWithVersions(store, folder, "Report.txt", {"one", "two"}, "three");

    auto result = runCli({"restore", "--dry-run", document, "0"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "would keep the current contents as a new version\nwould restore version 00000 ("
                              + test::historicalDates(0).modification.toIso8601() + ") into " + document + "\n");
    EXPECT_EQ(test::readFile(document), "three");
    EXPECT_EQ(history(), (Strings{"one", "two"}));

    result = runCli({"restore", document, "00000"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::readFile(document), "one");
    EXPECT_EQ(history(), (Strings{"one", "two", "three", "one"}));
    const std::string undo = "strataloom-cli restore -- " + document + " 00002";
    ASSERT_NE(result.out.find("; to undo: " + undo + "\n"), std::string::npos) << result.out;

    result = runCli({"restore", document, "2"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::readFile(document), "three");
    EXPECT_EQ(history(), (Strings{"one", "two", "three", "one", "three"}));

    // Restoring the version the file holds already changes nothing.
    result = runCli({"restore", document, "2"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.rfind(document + " already holds version 00002 (", 0), 0u) << result.out;
    EXPECT_EQ(history().size(), 5u);

    // By id, as versions shows it: still the version seen, whatever its number now.
    const std::vector<FileVersion> listed = store.otherVersionsOfItem(FileUrl::fromPath(document)).value();
    result = runCli({"restore", document, versionId(listed[1]).substr(0, 12)});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::readFile(document), "two");
}

// The undo command is printed to be pasted into a shell, whatever the name
// holds, even a name that would read as an option.
TEST_F(RestoreCommand, TheUndoItPrintsRunsAsPrintedInAShell)
{
    const std::string name = "-Q's report $(no).txt";
    test::documentWithVersions(store, folder, name, {"one"}, "two");
    const auto result = runCli({"restore", "--", name, "0"}, folder);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto at = result.out.find("to undo: strataloom-cli ");
    ASSERT_NE(at, std::string::npos) << result.out;
    const std::string undo = "cd '" + folder + "' && " + STRATALOOM_CLI + " "
                           + result.out.substr(at + 24, result.out.size() - at - 25) + " >/dev/null";
    ASSERT_EQ(std::system(undo.c_str()), 0) << undo;
    EXPECT_EQ(test::readFile(folder + "/" + name), "two");
}

TEST_F(RestoreCommand, RefusesWhatNamesNoStoredVersionAndChangesNothing)
{
    test::documentWithVersions(store, folder, "Report.txt", {"one"}, "two");
    struct Case {
        Arguments arguments;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"restore", document, "x1"}, 2, "'x1' is neither a version number nor a version id, as versions lists them"},
        {{"restore", document, "-1"}, 2, "Unknown option"},
        {{"restore", document}, 2, "usage: strataloom-cli restore"},
        {{"restore", document, "1"},
         1,
         "version 00001 is the current contents of " + document + "; nothing to restore"},
        {{"restore", document, "7"}, 1, "version 7 of " + document + " is not a stored version"},
        {{"restore", document, "0123456789abcdef"}, 1, "no stored version of " + document + " has the id"},
        {{"restore", folder + "/Missing.txt", "0"}, 1, "cannot find " + folder + "/Missing.txt"},
    };
    for (const Case& c : cases) {
        const auto result = runCli(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments.back() << ": " << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
    EXPECT_EQ(test::readFile(document), "two");
    EXPECT_EQ(history(), (Strings{"one"}));
}

// A copy restored beside the document becomes a document of its own once
// versioned (the watcher takes it); renamed over the original, it takes that
// place, and the original's history stays reachable there and restorable.
TEST_F(RestoreCommand, TheHistoryOfADocumentReplacedByAVersionedCopyIsListedAsEarlierAndRestorable)
{
    test::documentWithVersions(store, folder, "Report.txt", {"one", "two"}, "three");
    const std::string copy = folder + "/Report (copy).txt";
    test::writeFile(copy, "one");
    ASSERT_EQ(runCli({"save-version", copy}).exitCode, 0);
    std::filesystem::rename(copy, document);

    auto result = runCli({"versions", document, "--earlier"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto lines = [](const std::string& text) {
        Strings split;
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            split.push_back(text.substr(start, end - start));
        return split;
    }(result.out);
    ASSERT_EQ(lines.size(), 3u) << result.out;
    EXPECT_EQ(lines[0].rfind("before\t", 0), 0u);
    EXPECT_TRUE(lines[0].ends_with("\t2\t" + document)) << lines[0];
    EXPECT_EQ(lines[1].rfind("00000\t", 0), 0u);
    EXPECT_EQ(lines[2].rfind("00001\t", 0), 0u);
    EXPECT_EQ(history(), (Strings{"one"}));

    result = runCli({"documents"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\t2\t6\t"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\treplaced by "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\t" + document + "\n"), std::string::npos) << result.out;

    result = runCli({"restore", "--earlier", document, "1"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::readFile(document), "two");
    EXPECT_EQ(history(), (Strings{"one", "two"}));
    result = runCli({"restore", "--earlier", document, "2"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("is not a stored version (they are 0 to 1) (versions --earlier lists them)"),
              std::string::npos)
        << result.err;
}

// An editor's save writes a new file and renames it over the document: one
// history, nothing earlier, before a restore and after it.
TEST_F(RestoreCommand, AnEditorsAtomicSavesLeaveNoEarlierHistory)
{
    test::documentWithVersions(store, folder, "Report.txt", {"one"}, "two");
    const auto saveAsAnEditorDoes = [&](const std::string& contents) {
        test::writeFile(folder + "/.Report.txt.swp", contents);
        std::filesystem::rename(folder + "/.Report.txt.swp", document);
        ASSERT_EQ(runCli({"save-version", document}).exitCode, 0);
    };
    saveAsAnEditorDoes("three");
    ASSERT_EQ(runCli({"restore", document, "0"}).exitCode, 0);
    saveAsAnEditorDoes("four");
    const auto result = runCli({"versions", "--earlier", document});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(history(), (Strings{"one", "three", "one", "four"}));
}

} // namespace
} // namespace strataloom
