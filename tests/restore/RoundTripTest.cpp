// A document's versions go to an archive folder, come back as a new document,
// and go to a folder again: nothing of them may change on the way.

#include "RestoreTestSupport.h"
#include "archive/ArchiveOperation.h"
#include "platform/FileAttributes.h"
#include "restore/UnarchiveOperation.h"

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

// Archive entries keyed by their number and extension, the part of the name
// after the document's base name.
std::map<std::string, Entry> archiveEntries(const std::string& folder, const std::string& baseName)
{
    std::map<std::string, Entry> entries;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        const std::string name = item.path().filename().native();
        EXPECT_EQ(name.rfind(baseName, 0), 0u) << name;
        const std::optional<FileDates> dates = readDates(item.path().native());
        EXPECT_TRUE(dates) << name;
        entries[name.substr(baseName.size())] = {readFile(item.path().native()), dates.value_or(FileDates{})};
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
    for (std::string line; std::getline(out, line);)
        lines.push_back(line.substr(0, line.rfind('\t')));
    return lines;
}

// Dates with nanoseconds, creation before modification, each version apart.
FileDates datesOf(int version)
{
    return {{1'200'000'000 + version * 86'400, 100'000'001u * static_cast<std::uint32_t>(version + 1) % 1'000'000'000u},
            {1'250'000'000 + version * 86'400, 987'654'321u - static_cast<std::uint32_t>(version)}};
}

class RoundTrip : public testing::Test {
protected:
    // A document "Report.pages" with versions of distinct sizes (one empty, one
    // larger than a copy buffer) and dates, and a current version of its own.
    void SetUp() override
    {
        const std::string staging = makeScratchFolder("staging");
        const std::vector<std::string> contents = {"first draft", "", std::string(3 << 20, 'x') + "end",
                                                   std::string("fourth \xFF") + '\0' + " bytes"};
        document = makeScratchFolder("documents") + "/Report.pages";
        writeFile(document, "the current text");
        for (std::size_t i = 0; i < contents.size(); ++i) {
            const std::string source = staging + "/" + std::to_string(i);
            writeFile(source, contents[i]);
            ASSERT_TRUE(setDates(source, datesOf(static_cast<int>(i))));
            std::string error;
            ASSERT_TRUE(store.addVersionOfItem(FileUrl::fromPath(document), FileUrl::fromPath(source), &error))
                << error;
        }
        ASSERT_TRUE(setDates(document, datesOf(9)));
    }

    std::string archive(const std::string& item, const std::string& baseName)
    {
        const std::string folder = makeScratchFolder("archives") + "/" + baseName + " versions";
        RecordingReporter reporter;
        EXPECT_EQ(writeVersionsArchive(kResponseOK, FileUrl::directoryFromPath(folder), FileUrl::fromPath(item),
                                       baseName, ".pages", store, reporter),
                  ArchiveOutcome::Written);
        EXPECT_TRUE(reporter.errors.empty());
        return folder;
    }

    FileVersionStore store;
    std::string document;
};

} // namespace

TEST_F(RoundTrip, ArchiveUnarchiveArchiveKeepsEveryVersionContentsAndDates)
{
    const std::string firstArchive = archive(document, "Report");
    const std::map<std::string, Entry> original = archiveEntries(firstArchive, "Report");
    ASSERT_EQ(original.size(), 5u);
    EXPECT_EQ(original.rbegin()->first, "00004.pages");
    EXPECT_EQ(original.rbegin()->second.dates, datesOf(9));

    RecordingReporter reporter;
    const std::optional<UnarchiveSource> source =
        listUnarchiveSource(FileUrl::directoryFromPath(firstArchive), reporter);
    ASSERT_TRUE(source);
    ASSERT_EQ(source->proposedName, "Report-Copy.pages");
    const std::string restored = makeScratchFolder("restored") + "/" + source->proposedName;
    EXPECT_EQ(writeUnarchivedFile(kResponseOK, FileUrl::fromPath(restored), source->lastFilePath, source->names,
                                  source->folder, store, reporter),
              UnarchiveOutcome::Written);
    EXPECT_TRUE(reporter.errors.empty());
    EXPECT_EQ(archiveEntries(firstArchive, "Report"), original);

    EXPECT_EQ(archiveEntries(archive(restored, "Report-Copy"), "Report-Copy"), original);
    EXPECT_EQ(listedVersions(restored), listedVersions(document));
    EXPECT_EQ(listedVersions(document).size(), 5u);
}

TEST_F(RoundTrip, CommandLineRoundTripGivesTheSameVersions)
{
    const std::string folder = makeScratchFolder("cli");
    const CliResult archived = runCli({"archive", document, folder + "/out"});
    ASSERT_EQ(archived.exitCode, 0) << archived.err;
    const CliResult unarchived = runCli({"unarchive", "out"}, folder);
    ASSERT_EQ(unarchived.exitCode, 0) << unarchived.err;
    const std::string restored = folder + "/Report-Copy.pages";
    EXPECT_EQ(listedVersions(restored), listedVersions(document));
    ASSERT_EQ(runCli({"archive", restored, folder + "/again"}).exitCode, 0);
    EXPECT_EQ(archiveEntries(folder + "/again", "Report-Copy"), archiveEntries(folder + "/out", "Report"));
}
