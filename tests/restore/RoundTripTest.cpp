// A document's versions go to an archive folder, come back as a new document,
// and go to a folder again: nothing of them may change on the way.

#include "FileAttributes.h"
#include "FileVersionStore.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

using namespace strataloom;
using namespace strataloom::test;

namespace {

struct Entry {
    std::string contents;
    FileDates dates;
    bool operator==(const Entry&) const = default;
};

// Archive entries keyed by the part of their name after the document's base name.
std::map<std::string, Entry> archiveEntries(const std::string& folder, const std::string& baseName)
{
    std::map<std::string, Entry> entries;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        const std::string name = item.path().filename().native();
        EXPECT_EQ(name.rfind(baseName, 0), 0u) << name;
        entries[name.substr(baseName.size())] = {readFile(item.path()), readDates(item.path()).value_or(FileDates{})};
    }
    return entries;
}

// `strataloom-cli versions` lines without the last field, the stored file's
// path, which differs between documents by design.
std::vector<std::string> listedVersions(const std::string& document)
{
    const CliResult result = runCli({"versions", document});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> lines;
    std::istringstream out(result.out);
    // Every column but the id and the path, which differ between the two documents.
    for (std::string line; std::getline(out, line);) {
        std::istringstream fields(line);
        std::string kept;
        int column = 0;
        for (std::string field; std::getline(fields, field, '\t');) {
            if (column != 1 && column != 6)
                kept += field + "\t";
            ++column;
        }
        lines.push_back(kept);
    }
    return lines;
}

// Dates with nanoseconds, creation before modification, each version apart.
FileDates datesOf(int version)
{
    return {{1'200'000'000 + version * 86'400, 100'000'001u * static_cast<std::uint32_t>(version + 1) % 1'000'000'000u},
            {1'250'000'000 + version * 86'400, 987'654'321u - static_cast<std::uint32_t>(version)}};
}

} // namespace

TEST(RoundTrip, ArchiveUnarchiveArchiveKeepsEveryVersionContentsAndDates)
{
    // Versions of distinct sizes (one empty, one larger than a copy buffer)
    // and dates, and a current version of its own.
    const std::vector<std::string> contents = {"first draft", "", std::string(3 << 20, 'x') + "end",
                                               std::string("fourth \xFF") + '\0' + " bytes", "the current text"};
    const std::string folder = makeScratchFolder("documents"), document = folder + "/Report.pages";
    writeFile(document, contents.back());
    std::map<std::string, Entry> expected;
    FileVersionStore store;
    for (int i = 0; i < 5; ++i) {
        const std::string source = i < 4 ? folder + "/" + std::to_string(i) : document;
        writeFile(source, contents[i]);
        ASSERT_TRUE(setDates(source, datesOf(i)));
        if (i < 4) {
            ASSERT_TRUE(store.addVersionOfItem(FileUrl::fromPath(document), FileUrl::fromPath(source)));
        }
        expected["0000" + std::to_string(i) + ".pages"] = {contents[i], datesOf(i)};
    }

    const CliResult archived = runCli({"archive", document, folder + "/out"});
    ASSERT_EQ(archived.exitCode, 0) << archived.err;
    EXPECT_EQ(archiveEntries(folder + "/out", "Report"), expected);
    const CliResult unarchived = runCli({"unarchive", "out"}, folder);
    ASSERT_EQ(unarchived.exitCode, 0) << unarchived.err;
    const std::string restored = folder + "/Report-Copy.pages";
    const CliResult again = runCli({"archive", restored, folder + "/again"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(archiveEntries(folder + "/again", "Report-Copy"), expected);
    EXPECT_EQ(listedVersions(restored), listedVersions(document));
    EXPECT_EQ(listedVersions(document).size(), 5u);
}
