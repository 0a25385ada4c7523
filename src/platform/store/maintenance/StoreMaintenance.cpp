// Check, prune and forget: the order of their steps. Each step lives in its
// own file beside this one.
#include "StoreMaintenance.h"
#include "IndexRebuild.h"
#include "MaintenancePass.h"

#include <sys/stat.h>

namespace strataloom {

StoreMaintenance::StoreMaintenance(std::string location)
    : m_location(std::move(location))
{
}

MaintenanceSummary StoreMaintenance::check(StoreMaintenanceListener& listener)
{
    store::MaintenancePass pass(m_location, m_gracePeriod, false, listener);
    pass.setChecking();
    if (pass.start()) {
        store::verifyVersions(pass);
        store::sweepUnnamedRecords(pass);
        store::sweepDocuments(pass);
        store::sweepTemporaryFiles(pass);
    }
    return pass.summary();
}

namespace {

const char* const kWatcherRuns =
    "the watcher is running on this version store and adds versions as files are saved, so the index cannot be "
    "rebuilt now; stop it with 'systemctl --user stop strataloom-watch.service' (or end 'strataloom-cli watch run'), "
    "run 'strataloom-cli check --repair' again, then start it with 'systemctl --user start strataloom-watch.service'";

// Why the index must be rebuilt, asked without reporting: problems that stop a
// pass, or versions the documents' logs record that it does not list.
class RepairProbe : public StoreMaintenanceListener {
public:
    void found(const StoreFinding& finding) override
    {
        if (finding.kind == StoreFinding::Kind::Unindexed)
            ++unindexed;
    }
    void failed(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
    std::size_t unindexed = 0;
};

} // namespace

MaintenanceSummary StoreMaintenance::repair(StoreMaintenanceListener& listener)
{
    const store::StoreLayout layout(m_location);
    MaintenanceSummary refused;
    refused.failures = 1;
    if (store::watcherRuns(layout)) {
        listener.failed(kWatcherRuns);
        return refused;
    }
    // No store, nothing to repair; the check says so.
    struct stat status {};
    if (lstat(m_location.c_str(), &status) != 0)
        return check(listener);
    std::string error;
    auto lock = store::StoreLock::acquire(layout, store::StoreLock::Mode::Exclusive, m_lockWait, &error);
    if (!lock) {
        listener.failed(error);
        return refused;
    }
    RepairProbe problems;
    {
        store::MaintenancePass probe(m_location, m_gracePeriod, false, problems);
        probe.setChecking();
        // Without problems a failed start is a store without versions to rebuild.
        if (probe.start()) {
            store::sweepUnnamedRecords(probe);
            store::sweepDocuments(probe);
        } else if (problems.messages.empty())
            return check(listener);
    }
    if (problems.messages.empty() && problems.unindexed == 0) {
        lock.reset();
        return check(listener);
    }
    for (const std::string& message : problems.messages)
        listener.noted(message);
    if (problems.unindexed > 0)
        listener.noted("the documents' logs record " + std::to_string(problems.unindexed)
                       + (problems.unindexed == 1 ? " version" : " versions")
                       + " that the version index does not list");
    std::size_t failures = 0;
    store::RebuildResult result;
    const bool rebuilt = store::rebuildIndex(layout, result, [&](const std::string& message) {
        ++failures;
        listener.failed(message);
    });
    lock.reset();
    if (!rebuilt) {
        MaintenanceSummary summary;
        summary.failures = failures;
        return summary;
    }
    std::string note = "rebuilt the version index: " + std::to_string(result.documents) + " documents, "
                     + std::to_string(result.versions) + " versions";
    if (result.unloggedVersions > 0)
        note += ", " + std::to_string(result.unloggedVersions)
              + " of them from a release that kept no log, placed in the order of their modification dates";
    if (result.droppedVersions > 0)
        note += "; " + std::to_string(result.droppedVersions)
              + (result.droppedVersions == 1 ? " version its log records is" : " versions their logs record are")
              + " left out: no record present holds its contents any more";
    if (!result.setAside.empty())
        note += "; the old index is kept as " + result.setAside;
    listener.noted(note);
    MaintenanceSummary summary = check(listener);
    summary.failures += failures;
    return summary;
}

MaintenanceSummary StoreMaintenance::prune(bool dryRun, StoreMaintenanceListener& listener)
{
    store::MaintenancePass pass(m_location, m_gracePeriod, !dryRun, listener);
    if (pass.start()) {
        store::sweepUnnamedRecords(pass);
        store::sweepDocuments(pass);
        store::sweepTemporaryFiles(pass);
    }
    return pass.summary();
}

MaintenanceSummary StoreMaintenance::forget(const DocumentChoice& choice, bool dryRun,
                                            StoreMaintenanceListener& listener)
{
    store::MaintenancePass pass(m_location, m_gracePeriod, !dryRun, listener);
    const bool indexOpen = pass.start();
    if (indexOpen || pass.summary().failures == 0)
        store::forgetDocument(pass, choice, indexOpen);
    return pass.summary();
}

} // namespace strataloom
