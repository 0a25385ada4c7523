#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> contentsOfVersions(const FileUrl& document)
{
    FileVersionStore store;
    std::vector<std::string> contents;
    const std::optional<std::vector<FileVersion>> versions = store.otherVersionsOfItem(document);
    if (!versions)
        return {"(the versions cannot be listed)"};
    for (const FileVersion& version : *versions)
        contents.push_back(test::contentsOf(version));
    return contents;
}

// A crash while a version's record is appended leaves it cut short, without its
// line's end. The next add must end that line before its own record: then a
// rebuild from the logs leaves the torn record out and keeps the new one,
// wherever the cut fell.
TEST(DocumentLog, ARecordCutShortByACrashIsEndedBeforeTheNextAppend)
{
    const std::string folder = test::makeScratchFolder("documents");
    const std::string location = FileVersionStore::defaultLocation();
    const std::vector<std::pair<std::string, double>> cuts = {{"after its first byte", 0.0},
                                                              {"in the middle", 0.5},
                                                              {"before the checksum's last digit", 1.0}};
    std::vector<std::pair<FileUrl, std::string>> documents;
    for (const auto& [what, fraction] : cuts) {
        SCOPED_TRACE(what);
        FileVersionStore store;
        const FileUrl document =
            test::documentWithVersions(store, folder, "cut " + what + ".txt", {"kept " + what, "torn " + what}, "now");
        const std::string log = fs::path(test::storedPath(store, document, 0)).parent_path().string() + ".log";
        const std::string text = test::readFile(log);
        const std::size_t record = text.rfind("\nV ") + 1;
        const std::size_t length = text.find('\n', record) - record;
        const std::size_t kept = 1 + static_cast<std::size_t>(fraction * static_cast<double>(length - 2));
        fs::resize_file(log, record + kept);

        const std::string contents = test::makeScratchFolder("contents") + "/after";
        test::writeFile(contents, "after " + what);
        std::string error;
        ASSERT_TRUE(store.addVersionOfItem(document, FileUrl::fromPath(contents), &error)) << error;
        documents.emplace_back(document, test::readFile(log));
    }

    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(location + "/index.sqlite" + suffix);
    // The torn records' stored files are left unreferenced, which check reports.
    const test::CliResult repaired = test::runCli({"check", "--repair"});
    EXPECT_NE(repaired.err.find("rebuilt the version index: 3 documents, 6 versions\n"), std::string::npos)
        << repaired.err;
    for (std::size_t i = 0; i < documents.size(); ++i)
        EXPECT_EQ(contentsOfVersions(documents[i].first),
                  (std::vector<std::string>{"kept " + cuts[i].first, "after " + cuts[i].first}))
            << documents[i].second;
}

} // namespace
} // namespace strataloom
