#include "ReEncoding.h"
#include "FileVersionStore.h"
#include "ReadingSession.h"
#include "VersionEdits.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace store;
using namespace test;

std::int64_t scalar(const std::string& sql)
{
    return indexValue(FileVersionStore::defaultLocation(), sql);
}

// A text document's revision `n`: mostly what the one before held.
std::string edit(int n)
{
    std::string text;
    for (int line = 0; line < 400; ++line)
        text += "Line " + std::to_string(line) + " of a document that changes a little at each save"
              + (line % 37 == n % 37 ? " (edited in revision " + std::to_string(n) + ")" : "") + "\n";
    return text;
}

class ReEncodingTest : public testing::Test {
protected:
    void save(const std::string& contents)
    {
        writeFile(path, contents);
        std::string error;
        ASSERT_TRUE(store.saveVersionOfItem(document, &error)) << error;
        saved.push_back(contents);
    }
    void expectEveryVersionReads() { expectVersionsRead(store.location(), path, saved); }

    std::string path = makeScratchFolder("documents") + "/notes.md";
    FileUrl document = FileUrl::fromPath(path);
    FileVersionStore store;
    std::vector<std::string> saved;
};

// Each save leaves the version before it a delta against it, the newest an
// ordinary file; chains stay within kMaxChain, restarting with a compressed
// record, and every version reads back byte for byte.
TEST_F(ReEncodingTest, OlderVersionsBecomeBoundedChainsOfDeltasThatReadBack)
{
    for (int n = 0; n < kMaxChain + 8; ++n)
        save(edit(n));
    expectEveryVersionReads();
    const auto versions = store.otherVersionsOfItem(document);
    // Its few kilobytes compress into a packed record, which older ones are
    // deltas against all the same.
    EXPECT_EQ(versions->back().storedAt()->recordKind, static_cast<int>(RecordKind::Compressed));
    EXPECT_FALSE(fs::exists(versions->back().URL().path()));
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM records WHERE kind = 0"), 0);
    EXPECT_GE(scalar("SELECT COUNT(*) FROM records WHERE kind = 2"), 2);
    EXPECT_GE(scalar("SELECT COUNT(*) FROM records WHERE kind = 1"), static_cast<std::int64_t>(saved.size()) - 3);
    EXPECT_LE(scalar("SELECT MAX(height) FROM records"), kMaxChain);
    EXPECT_LT(scalar("SELECT SUM(stored_bytes) FROM records"),
              static_cast<std::int64_t>(saved.size() * saved[0].size() / 10));
    // The log holds each record and switch, for a rebuild.
    const std::string log = readFile(fs::path(versions->back().URL().path()).parent_path().string() + ".log");
    std::size_t switches = 0;
    for (std::size_t at = log.find("\nX "); at != std::string::npos; at = log.find("\nX ", at + 1))
        ++switches;
    EXPECT_EQ(static_cast<std::int64_t>(switches), scalar("SELECT COUNT(*) FROM records WHERE kind = 1"));
}

// A save that goes back to earlier contents names the record of those, by
// then a delta against the version after them: the one before it is not
// made a delta of it in turn, which would leave both unreadable.
TEST(ReEncodingHistory, GoingBackToEarlierContentsKeepsEveryVersionReadable)
{
    FileVersionStore store(makeScratchFolder("store"));
    const std::string path = makeScratchFolder("documents") + "/notes.md";
    std::vector<std::string> saved;
    for (int n : {0, 1, 0, 1, 2, 1}) {
        writeFile(path, edit(n));
        ASSERT_TRUE(store.saveVersionOfItem(FileUrl::fromPath(path)));
        saved.push_back(edit(n));
    }
    expectVersionsRead(store.location(), path, saved);
}

// Versions committed together (unarchive, the watcher's batches) are
// re-encoded together: each against the one after it, chains cut at kMaxChain.
TEST_F(ReEncodingTest, ABatchOfVersionsBecomesBoundedChainsInOnePass)
{
    save(edit(0));
    ASSERT_TRUE(store.beginVersionsOfItem(document));
    const std::string staging = makeScratchFolder("staging");
    for (int n = 1; n <= 2 * kMaxChain + 3; ++n) {
        const std::string contents = staging + "/" + std::to_string(n);
        writeFile(contents, edit(n));
        ASSERT_TRUE(store.stageVersion(FileUrl::fromPath(contents)));
        saved.push_back(edit(n));
    }
    std::string error;
    ASSERT_TRUE(store.commitVersions(&error)) << error;
    expectEveryVersionReads();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM records WHERE kind = 0"), 0);
    EXPECT_GE(scalar("SELECT COUNT(*) FROM records WHERE kind = 2"), 3);
    EXPECT_LE(scalar("SELECT MAX(height) FROM records"), kMaxChain);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM records"), static_cast<std::int64_t>(saved.size()));
}

// Contents that neither a delta nor compression makes smaller stay whole.
TEST_F(ReEncodingTest, ContentsThatDoNotShrinkStayWhole)
{
    for (int n = 0; n < 3; ++n) {
        std::string noise(20000, '\0');
        for (char& c : noise)
            c = static_cast<char>(std::rand());
        save(noise);
    }
    expectEveryVersionReads();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM records WHERE kind = 0"), 3);
}

// Killed after any step of a re-encoding, the store reads every version as
// it was, and the next save re-encodes as if nothing happened. A save's
// re-encoding goes with its add: killed before the index switched, the add
// is not listed either (it never reported success).
TEST_F(ReEncodingTest, AKillAtAnyStepOfAReEncodingLeavesEveryVersionReadable)
{
    const struct {
        ReEncoding::Step step;
        bool added;
    } cases[] = {
        {ReEncoding::Step::RecordWritten, false},
        {ReEncoding::Step::RecordLogged, false},
        {ReEncoding::Step::IndexSwitched, true},
        {ReEncoding::Step::OldFileUnlinked, true},
    };
    for (const auto& killCase : cases) {
        const ReEncoding::Step step = killCase.step;
        SCOPED_TRACE(static_cast<int>(step));
        save(edit(static_cast<int>(saved.size())));
        const std::string next = edit(static_cast<int>(saved.size()));
        writeFile(path, next);
        const pid_t child = fork();
        if (child == 0) {
            setReEncodingHookForTests([step](ReEncoding::Step reached) {
                if (reached == step)
                    raise(SIGKILL);
            });
            FileVersionStore(store.location()).saveVersionOfItem(document);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        if (killCase.added)
            saved.push_back(next);
        expectEveryVersionReads();
    }
    save(edit(100));
    expectEveryVersionReads();
}

// A damaged record makes its versions not local, with a message naming a
// record, and is never read as other bytes.
TEST(ReEncodingDamage, ADamagedRecordIsNamedAndItsVersionsAreNeitherLocalNorRead)
{
    const struct {
        const char* what;
        const char* sql;
    } cases[] = {
        {"packed bytes altered",
         "UPDATE records SET packed = X'00' || substr(packed, 2) WHERE packed IS NOT NULL AND kind = 1"},
        {"a recorded checksum that is not the contents'", "UPDATE records SET checksum = zeroblob(16) WHERE kind = 1"},
        {"a base the chain cannot reach", "UPDATE records SET base = 99999 WHERE kind = 1"},
    };
    for (const auto& one : cases) {
        SCOPED_TRACE(one.what);
        const std::string location = makeScratchFolder("store");
        FileVersionStore store(location);
        const std::string path = makeScratchFolder("documents") + "/notes.md";
        for (int n = 0; n < 3; ++n) {
            writeFile(path, edit(n));
            ASSERT_TRUE(store.saveVersionOfItem(FileUrl::fromPath(path)));
        }
        {
            SqliteDatabase database(location + "/index.sqlite", SQLITE_OPEN_READWRITE);
            ASSERT_TRUE(database.execute((std::string("PRAGMA foreign_keys=OFF; ") + one.sql).c_str()));
        }
        const auto versions = FileVersionStore(location).otherVersionsOfItem(FileUrl::fromPath(path));
        ASSERT_TRUE(versions);
        ASSERT_NE(versions->front().storedAt()->recordKind, static_cast<int>(RecordKind::Whole));
        std::string why;
        EXPECT_FALSE(versions->front().hasLocalContents(&why));
        EXPECT_NE(why.find("record"), std::string::npos) << why;
        why.clear();
        EXPECT_EQ(readVersion(versions->front(), &why), "(unreadable)");
        EXPECT_NE(why.find("record"), std::string::npos) << why;
        EXPECT_TRUE(readVersion(versions->back()) == edit(2));
    }
}

// A list made before a save or a removal names records these re-encode or
// re-base under new names, unlinking the old files: each listed version is
// still local and reads back, with or without a reading session (an archive
// or a listing while the watcher saves).
TEST_F(ReEncodingTest, VersionsListedBeforeTheirRecordsMovedStillRead)
{
    const auto expectReads = [](const FileVersion& version, const std::string& contents) {
        std::string why;
        EXPECT_TRUE(version.hasLocalContents(&why)) << why;
        EXPECT_TRUE(readVersion(version, &why) == contents) << why;
        ReadingSession session;
        EXPECT_TRUE(version.hasLocalContents(session, &why)) << why;
        const UniqueFd read = version.openContents(session, &why);
        ASSERT_TRUE(read.valid()) << why;
        EXPECT_TRUE(readAll(read.get()) == contents);
    };
    const std::string noise = unpackable("noise");
    const auto revision = [&](int n) { return edit(n) + noise; };
    save(revision(0));
    save(revision(1));
    const auto beforeSave = store.otherVersionsOfItem(document);
    ASSERT_TRUE(beforeSave && beforeSave->size() == 2);
    ASSERT_EQ(beforeSave->back().storedAt()->recordKind, static_cast<int>(RecordKind::Whole));
    save(revision(2));
    ASSERT_FALSE(fs::exists(beforeSave->back().URL().path()));
    expectReads(beforeSave->back(), revision(1));

    const auto beforeRemoval = store.otherVersionsOfItem(document);
    ASSERT_TRUE(beforeRemoval && beforeRemoval->size() == 3);
    std::string error;
    ASSERT_TRUE(deleteVersions(store.location(), path, {VersionChoice::byId(beforeRemoval->at(1).storedAt()->file)},
                               false, &error))
        << error;
    ASSERT_NE(store.otherVersionsOfItem(document)->front().storedAt()->record,
              beforeRemoval->front().storedAt()->record);
    expectReads(beforeRemoval->front(), revision(0));
}

} // namespace
} // namespace strataloom
