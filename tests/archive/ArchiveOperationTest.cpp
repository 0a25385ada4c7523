#include "ArchiveTestSupport.h"
#include "archive/ArchiveOperation.h"
#include "support/OperationTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace strataloom {
namespace {

using test::RecordingReporter;
using test::entriesOf;
using test::readFile;
namespace fs = std::filesystem;

const std::string kCouldNotWrite = "Couldn't create or write folder.";

TEST(ArchiveNameParts, SplitsAtTheLastDotOnlyAndRejoinsToTheName)
{
    struct Case {
        const char* path;
        const char* baseName;
        const char* dottedExtension;
        const char* proposed;
    };
    for (const Case& c : {Case{"/docs/Report.pages", "Report", ".pages", "Report versions"},
                          Case{"/docs/README", "README", "", "README versions"},
                          Case{"/docs/archive.tar.gz", "archive.tar", ".gz", "archive.tar versions"},
                          Case{"/docs/.bashrc", ".bashrc", "", ".bashrc versions"},
                          Case{"/docs/caf\xe9.txt", "caf\xe9", ".txt", "caf\xe9 versions"}}) {
        const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(FileUrl::fromPath(c.path));
        EXPECT_EQ(parts.baseName, c.baseName) << c.path;
        EXPECT_EQ(parts.dottedExtension, c.dottedExtension) << c.path;
        EXPECT_EQ(parts.proposedFolderName(), c.proposed) << c.path;
    }
}

class ArchiveWriter : public testing::Test {
protected:
    ArchiveOutcome archive(const FileUrl& document, const std::string& folder, int response = kResponseOK)
    {
        const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(document);
        return writeVersionsArchive(response, FileUrl::fromPath(folder), document, parts.baseName,
                                    parts.dottedExtension, store, reporter);
    }

    FileVersionStore store;
    RecordingReporter reporter;
    std::string documents = test::makeScratchFolder("documents");
    std::string destination = test::makeScratchFolder("destination") + "/Report versions";
};

TEST_F(ArchiveWriter, WritesEveryVersionWithItsStoredContentsAndDatesCurrentLast)
{
    const FileUrl document =
        test::documentWithVersions(store, documents, "Report.pages", {"first", "second", "third"}, "now");
    // The dates come from the stored files, even when they were changed after saving.
    const FileDates moved = test::historicalDates(40);
    ASSERT_TRUE(setDates(test::storedPath(store, document, 1), moved));

    EXPECT_EQ(archive(document, destination), ArchiveOutcome::Written);
    EXPECT_TRUE(reporter.errors.empty());
    EXPECT_EQ(entriesOf(destination), (std::set<std::string>{"Report00000.pages", "Report00001.pages",
                                                              "Report00002.pages", "Report00003.pages"}));
    const std::vector<std::string> expected{"first", "second", "third", "now"};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string entry = destination + "/Report0000" + std::to_string(i) + ".pages";
        EXPECT_EQ(readFile(entry), expected[i]);
        const std::string stored = i < 3 ? test::storedPath(store, document, i) : document.path();
        EXPECT_EQ(readDates(entry), readDates(stored)) << entry;
    }
    EXPECT_EQ(readDates(destination + "/Report00000.pages"), test::historicalDates(0));
    EXPECT_EQ(readDates(destination + "/Report00001.pages"), moved);
    EXPECT_EQ(reporter.steps.size(), 4u);
    EXPECT_EQ(reporter.steps.back(), (RecordingReporter::Step{3, 4, "Report00003.pages"}));
}

TEST_F(ArchiveWriter, NamesWithoutExtensionEndInTheDigits)
{
    const FileUrl plain = test::documentWithVersions(store, documents, "README", {"old"}, "new");
    EXPECT_EQ(archive(plain, destination), ArchiveOutcome::Written);
    EXPECT_EQ(entriesOf(destination), (std::set<std::string>{"README00000", "README00001"}));
}

TEST_F(ArchiveWriter, DeclinedPanelsDoNothing)
{
    const FileUrl document = test::documentWithVersions(store, documents, "Report.pages", {"a"}, "b");
    EXPECT_EQ(archive(document, destination, kResponseCancel), ArchiveOutcome::Declined);
    const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(document);
    EXPECT_EQ(writeVersionsArchive(kResponseOK, std::nullopt, document, parts.baseName, parts.dottedExtension,
                                   store, reporter),
              ArchiveOutcome::Declined);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_TRUE(reporter.errors.empty());
}

TEST_F(ArchiveWriter, ADocumentWithoutSavedVersionsIsRefusedBeforeAnythingIsCreated)
{
    const FileUrl document = test::documentWithVersions(store, documents, "Report.pages", {}, "only");
    EXPECT_EQ(archive(document, destination), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, std::vector<std::string>{"No versions available."});
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ArchiveWriter, FirstVersionNotLocalLeavesTheFolderEmpty)
{
    const FileUrl document = test::documentWithVersions(store, documents, "Report.pages", {"a", "b"}, "c");
    fs::remove(test::storedPath(store, document, 0));
    EXPECT_EQ(archive(document, destination + "/deeper"), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, std::vector<std::string>{"Versions aren't stored locally. Download and try again."});
    EXPECT_TRUE(fs::is_directory(destination + "/deeper"));
    EXPECT_TRUE(entriesOf(destination + "/deeper").empty());
}

TEST_F(ArchiveWriter, AVersionNotLocalInTheMiddleLeavesItsNumberFreeAndTheRestIsWritten)
{
    const FileUrl document =
        test::documentWithVersions(store, documents, "Report.pages", {"v0", "v1", "v2", "v3"}, "now");
    test::corrupt(test::storedPath(store, document, 2));
    EXPECT_EQ(archive(document, destination), ArchiveOutcome::Written);
    EXPECT_EQ(reporter.errors, std::vector<std::string>{"Some versions aren't stored locally."});
    EXPECT_EQ(entriesOf(destination), (std::set<std::string>{"Report00000.pages", "Report00001.pages",
                                                              "Report00003.pages", "Report00004.pages"}));
    EXPECT_EQ(readFile(destination + "/Report00003.pages"), "v3");
    EXPECT_EQ(readFile(destination + "/Report00004.pages"), "now");
}

TEST_F(ArchiveWriter, AnExistingFolderIsUsedButAnExistingEntryIsNeverReplaced)
{
    const FileUrl document = test::documentWithVersions(store, documents, "Report.pages", {"v0", "v1", "v2"}, "now");
    fs::create_directory(destination);
    test::writeFile(destination + "/Report00001.pages", "mine");
    test::writeFile(destination + "/notes", "kept");

    EXPECT_EQ(archive(document, destination), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, std::vector<std::string>{kCouldNotWrite});
    EXPECT_EQ(entriesOf(destination), (std::set<std::string>{"Report00000.pages", "Report00001.pages", "notes"}));
    EXPECT_EQ(readFile(destination + "/Report00000.pages"), "v0");
    EXPECT_EQ(readFile(destination + "/Report00001.pages"), "mine");
    EXPECT_EQ(reporter.steps.size(), 2u) << "no version after the failing one is tried";
}

TEST_F(ArchiveWriter, ALocationThatCannotBeAFolderIsReported)
{
    const FileUrl document = test::documentWithVersions(store, documents, "Report.pages", {"v0"}, "now");
    const std::string file = test::makeScratchFolder("blocked") + "/a file";
    test::writeFile(file, "x");

    EXPECT_EQ(archive(document, file), ArchiveOutcome::Failed);
    EXPECT_EQ(archive(document, file + "/inside"), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, (std::vector<std::string>{kCouldNotWrite, kCouldNotWrite}));
    EXPECT_EQ(readFile(file), "x");
}

TEST_F(ArchiveWriter, AStopRequestEndsBetweenEntriesKeepingWhatWasWritten)
{
    const FileUrl document = test::documentWithVersions(store, documents, "Report.pages", {"v0", "v1", "v2"}, "now");
    reporter.stopAfter = 2;
    EXPECT_EQ(archive(document, destination), ArchiveOutcome::Failed);
    EXPECT_EQ(entriesOf(destination), (std::set<std::string>{"Report00000.pages", "Report00001.pages"}));
    EXPECT_TRUE(reporter.errors.empty());
}

// Supplies a version list without a store behind it.
class FakeSource : public VersionSource {
public:
    std::optional<std::vector<FileVersion>> otherVersionsOfItem(const FileUrl&) override { return others; }
    std::optional<FileVersion> currentVersionOfItem(const FileUrl&) override { return current; }

    std::optional<std::vector<FileVersion>> others;
    std::optional<FileVersion> current;
};

class ArchiveWriterLimits : public testing::Test {
protected:
    ArchiveOutcome archive()
    {
        return writeVersionsArchive(kResponseOK, FileUrl::fromPath(destination), FileUrl::fromPath(missing), "Report",
                                    ".pages", source, reporter);
    }
    // Versions at a path that does not exist count as not local.
    void giveOtherVersions(std::size_t count)
    {
        source.others.emplace(count, FileVersion(FileUrl::fromPath(missing)));
    }

    FakeSource source;
    RecordingReporter reporter;
    std::string missing = test::makeScratchFolder("fake") + "/missing";
    std::string destination = test::makeScratchFolder("destination") + "/out";
};

TEST_F(ArchiveWriterLimits, AnUnlistableStoreIsReported)
{
    source.current.emplace(FileUrl::fromPath(missing));
    EXPECT_EQ(archive(), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, std::vector<std::string>{"Couldn't get versions."});
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ArchiveWriterLimits, NoCurrentVersionEndsSilentlyBeforeTheFolder)
{
    giveOtherVersions(3);
    EXPECT_EQ(archive(), ArchiveOutcome::NoCurrentVersion);
    EXPECT_TRUE(reporter.errors.empty());
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ArchiveWriterLimits, AcceptsUpTo99998OtherVersions)
{
    giveOtherVersions(99998);
    source.current.emplace(FileUrl::fromPath(missing));
    // Getting past the limit shows as the folder being made and the first
    // version being looked at.
    EXPECT_EQ(archive(), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, std::vector<std::string>{"Versions aren't stored locally. Download and try again."});
    EXPECT_TRUE(fs::is_directory(destination));
}

TEST_F(ArchiveWriterLimits, Refuses99999OtherVersionsBeforeAnythingIsCreated)
{
    giveOtherVersions(99999);
    source.current.emplace(FileUrl::fromPath(missing));
    EXPECT_EQ(archive(), ArchiveOutcome::Failed);
    EXPECT_EQ(reporter.errors, std::vector<std::string>{"Too many versions available."});
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ArchiveWriterLimits, TheLastIndexStillFitsFiveDigits)
{
    // 99998 other versions of which only the last two are local: the current
    // version takes number 99998.
    const std::string local = test::makeScratchFolder("local") + "/stored";
    test::writeFile(local, "x");
    giveOtherVersions(99998);
    source.others->front() = FileVersion(FileUrl::fromPath(local));
    for (std::size_t i = 1; i + 1 < source.others->size(); ++i)
        (*source.others)[i] = FileVersion(FileUrl::fromPath(missing + "-gone"));
    source.others->back() = FileVersion(FileUrl::fromPath(local));
    source.current.emplace(FileUrl::fromPath(local));

    EXPECT_EQ(archive(), ArchiveOutcome::Written);
    EXPECT_EQ(entriesOf(destination),
              (std::set<std::string>{"Report00000.pages", "Report99997.pages", "Report99998.pages"}));
    EXPECT_EQ(reporter.errors.size(), 99996u);
}

} // namespace
} // namespace strataloom
