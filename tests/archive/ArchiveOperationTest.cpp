#include "ArchiveOperation.h"
#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

namespace strataloom {
namespace {

using namespace test;
using Names = std::set<std::string>;
using Messages = std::vector<std::string>;

// Supplies a version list without a store behind it.
struct FakeSource : VersionSource {
    std::optional<std::vector<FileVersion>> otherVersionsOfItem(const FileUrl&) override { return others; }
    std::optional<FileVersion> currentVersionOfItem(const FileUrl&) override { return current; }
    std::optional<std::vector<FileVersion>> others;
    std::optional<FileVersion> current;
};

class ArchiveWriter : public testing::Test {
protected:
    // Gives Report.pages these saved versions and "now" as its contents.
    void save(const std::vector<std::string>& versions)
    {
        documentWithVersions(store, documents, "Report.pages", versions, "now");
        fake.current = FileVersion(document);
    }
    ArchiveOutcome archive(const std::string& folder, VersionSource& source)
    {
        return writeVersionsArchive(kResponseOK, FileUrl::fromPath(folder), document, "Report", ".pages", source,
                                    reporter);
    }

    FileVersionStore store;
    FakeSource fake;
    RecordingReporter reporter;
    std::string documents = makeScratchFolder("documents");
    FileUrl document = FileUrl::fromPath(documents + "/Report.pages");
    std::string destination = makeScratchFolder("destination") + "/Report versions";
};

TEST_F(ArchiveWriter, EntriesCarryTheStoredFilesContentsAndDatesCurrentLast)
{
    save({"first", "second", "third"});
    // The dates come from the stored files, even when those changed after saving.
    ASSERT_TRUE(setDates(storedPath(store, document, 1), historicalDates(40)));
    EXPECT_EQ(archive(destination, store), ArchiveOutcome::Written);
    EXPECT_TRUE(reporter.errors.empty());
    EXPECT_EQ(entriesOf(destination).size(), 4u);
    const char* contents[] = {"first", "second", "third", "now"};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string entry = destination + "/Report0000" + std::to_string(i) + ".pages";
        EXPECT_EQ(readFile(entry), contents[i]);
        EXPECT_EQ(readDates(entry), readDates(i < 3 ? storedPath(store, document, i) : document.path()).value());
    }
}

TEST_F(ArchiveWriter, ASkippedVersionKeepsItsNumberAndAnExistingEntryEndsTheArchive)
{
    save({"v0", "v1", "v2", "v3", "v4"});
    corrupt(storedPath(store, document, 2));
    std::filesystem::create_directory(destination);
    writeFile(destination + "/Report00004.pages", "mine");
    EXPECT_EQ(archive(destination, store), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, (Messages{"Some versions aren't stored locally.", "Couldn't create or write folder."}));
    EXPECT_EQ(entriesOf(destination),
              (Names{"Report00000.pages", "Report00001.pages", "Report00003.pages", "Report00004.pages"}));
    EXPECT_EQ(readFile(destination + "/Report00003.pages"), "v3");
    EXPECT_EQ(readFile(destination + "/Report00004.pages"), "mine");
}

TEST_F(ArchiveWriter, EachRefusalSaysWhyAndOnlyTheLastOneMakesTheFolder)
{
    save({});
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    fake.others.emplace();
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    fake.others->assign(99999, FileVersion(FileUrl::fromPath(documents + "/missing")));
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    fake.others->pop_back();
    EXPECT_EQ(archive(document.path(), fake), ArchiveOutcome::Failed);
    EXPECT_EQ(readFile(document.path()), "now");
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Failed);
    EXPECT_TRUE(entriesOf(destination).empty());
    EXPECT_EQ(reporter.errors, (Messages{"Couldn't get versions.", "No versions available.",
                                         "Too many versions available.", "Couldn't create or write folder.",
                                         "Versions aren't stored locally. Download and try again."}));
}

TEST_F(ArchiveWriter, The99998thOtherVersionAndTheCurrentOneStillGetFiveDigits)
{
    save({});
    // Only the first and the last other versions are local.
    fake.others.emplace(99998, FileVersion(FileUrl::fromPath(documents + "/missing")));
    fake.others->front() = fake.others->back() = *fake.current;
    EXPECT_EQ(archive(destination, fake), ArchiveOutcome::Written);
    EXPECT_EQ(entriesOf(destination), (Names{"Report00000.pages", "Report99997.pages", "Report99998.pages"}));
    EXPECT_EQ(reporter.errors.size(), 99996u);
}

} // namespace
} // namespace strataloom
