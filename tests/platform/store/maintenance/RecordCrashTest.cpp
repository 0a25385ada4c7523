// Killed (SIGKILL) after each step of a thinning that re-bases, of a
// compaction and of forget's hand-over, the store keeps every version readable
// and a check finds no damage; running the work again finishes it, and prune
// leaves nothing over.
#include "Compaction.h"
#include "Nanoseconds.h"
#include "ReEncoding.h"
#include "RecordHandOver.h"
#include "RecordReBase.h"
#include "RecordRelease.h"
#include "Thinning.h"
#include "VersionRemoval.h"
#include "support/Format4Store.h"
#include "support/RecordTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>

#include <sys/wait.h>

namespace strataloom {
namespace {

namespace fs = std::filesystem;
using namespace test;

constexpr std::int64_t kDay = 86'400'000'000'000;

// The child's count of steps, and the one it dies after.
int stepsTaken = 0;
int killAfter = 0;

void step()
{
    if (++stepsTaken == killAfter)
        raise(SIGKILL);
}

// Runs `work` in a child that dies after its `after`th step; true when it
// finished before that.
bool runKilledAfter(int after, const std::function<bool()>& work)
{
    const pid_t child = fork();
    if (child == 0) {
        stepsTaken = 0;
        killAfter = after;
        store::setRemovalPauseForTests(step);
        store::setReleaseStepForTests([](const char*) { step(); });
        store::setReBaseHookForTests([](const char*) { step(); });
        store::setReEncodingHookForTests([](store::ReEncoding::Step) { step(); });
        store::setHandOverPauseForTests(step);
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGKILL);
    return WIFEXITED(status);
}

class RecordCrashTest : public testing::Test {
protected:
    // Every listed version reads as one of `expected`, in order, and those in
    // `always` are all there.
    void expectReadable(const std::string& document, const std::vector<std::string>& expected,
                        const std::vector<std::string>& always, int after)
    {
        const std::vector<std::string> listed = revisionsOf(location, document, expected);
        std::string previous;
        for (const std::string& name : listed) {
            EXPECT_TRUE(name[0] == 'r' && name.size() > 1 && (previous.empty() || previous < name))
                << "killed after step " << after << ": " << name;
            previous = name;
        }
        for (const std::string& name : always)
            EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << "killed after step " << after;
        EXPECT_EQ(checkStore(location).damaged, "") << "killed after step " << after;
    }

    std::string location = makeScratchFolder("store") + "/strataloom";
    std::string folder = makeScratchFolder("documents");
};

// Each row's history is made anew before each kill; run again after it, the
// work ends as if it had never stopped.
TEST_F(RecordCrashTest, AThinningThatReBasesAndACompactionKilledAfterEachStep)
{
    ThinningOptions thinning;
    thinning.nowNs = nowNs() + 2 * kDay;
    const struct {
        const char* what;
        int revisions;
        bool fromFormat4; // else saved automatically and compacted
        std::function<bool()> work;
        std::vector<std::string> kept;
        std::vector<int> kinds;
    } rows[] = {
        {"thinning",
         5,
         false,
         [&] { return thinStore(location, thinning).has_value(); },
         revisionNames({0, 4}),
         {1, 1, 0}},
        {"compaction",
         4,
         true,
         [&] { return compactStore(location, {}).has_value(); },
         revisionNames({0, 1, 2, 3}),
         {1, 3, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> revisions;
        for (int n = 0; n < row.revisions; ++n)
            revisions.push_back(revision(n));
        bool finished = false;
        for (int after = 1; !finished && after < 40; ++after) {
            SCOPED_TRACE("killed after step " + std::to_string(after));
            fs::remove_all(location);
            const std::string notes = folder + "/notes " + std::to_string(after);
            if (row.fromFormat4) {
                writeFormat4Store(location, notes, revisions);
            } else {
                saveAutomatic(location, notes, revisions);
                fs::remove(notes);
                ASSERT_TRUE(compactStore(location, {}));
                ASSERT_EQ(recordKinds(location), (std::vector<int>{1, row.revisions - 1, 0}));
            }
            finished = runKilledAfter(after, row.work);
            expectReadable(notes, revisions, row.kept, after);
            ASSERT_TRUE(row.work());
            pruneStore(location);
            EXPECT_EQ(revisionsOf(location, notes, revisions), row.kept);
            EXPECT_EQ(recordKinds(location), row.kinds);
            const CheckFindings checked = checkStore(location);
            EXPECT_EQ(checked.damaged, "");
            EXPECT_EQ(checked.unreferenced, 0);
        }
        EXPECT_TRUE(finished) << "the work took more steps than the test kills it after";
    }
}

// Killed between the new holder's log and the index's switch, forget leaves
// both documents as they were, with a link the index does not name yet;
// forgetting again finishes the hand-over.
TEST_F(RecordCrashTest, AForgetKilledWhileHandingOverContents)
{
    const std::string first = folder + "/first.txt", second = folder + "/second.txt";
    const std::vector<std::string> revisions = {revision(0), revision(1), revision(2)};
    saveAutomatic(location, first, {revision(1), revision(0)});
    saveAutomatic(location, second, {revision(2), revision(1)});
    fs::remove(first);
    fs::remove(second);
    const auto forget = [&] {
        CheckFindings findings;
        StoreMaintenance(location).forget({first, false}, false, findings);
        return findings.failures.empty();
    };
    EXPECT_FALSE(runKilledAfter(1, forget));
    EXPECT_EQ(revisionsOf(location, first, revisions), revisionNames({1, 0}));
    EXPECT_EQ(revisionsOf(location, second, revisions), revisionNames({2, 1}));
    EXPECT_EQ(checkStore(location).damaged, "");

    EXPECT_TRUE(forget());
    pruneStore(location);
    EXPECT_EQ(revisionsOf(location, second, revisions), revisionNames({2, 1}));
    const CheckFindings checked = checkStore(location);
    EXPECT_EQ(checked.damaged, "");
    EXPECT_EQ(checked.unreferenced, 0);
}

} // namespace
} // namespace strataloom
