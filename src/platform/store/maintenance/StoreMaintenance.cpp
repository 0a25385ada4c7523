// Check, prune and forget: the order of their steps. Each step lives in its
// own file beside this one.
#include "StoreMaintenance.h"
#include "IndexRebuild.h"
#include "MaintenancePass.h"

namespace strataloom {

StoreMaintenance::StoreMaintenance(std::string location)
    : m_location(std::move(location))
{
}

MaintenanceSummary StoreMaintenance::check(StoreMaintenanceListener& listener)
{
    store::MaintenancePass pass(m_location, m_gracePeriod, false, listener);
    if (pass.start()) {
        store::verifyVersions(pass);
        store::sweepDocuments(pass);
        store::sweepTemporaryFiles(pass);
    }
    return pass.summary();
}

MaintenanceSummary StoreMaintenance::repair(StoreMaintenanceListener& listener)
{
    // Whether the index can be trusted, asked without reporting.
    class Problems : public StoreMaintenanceListener {
    public:
        void found(const StoreFinding&) override {}
        void failed(const std::string& message) override { messages.push_back(message); }
        std::vector<std::string> messages;
    } problems;
    store::MaintenancePass probe(m_location, m_gracePeriod, false, problems);
    // Without problems a failed start is a store without versions to rebuild.
    if (!probe.start() && !problems.messages.empty()) {
        for (const std::string& message : problems.messages)
            listener.noted(message);
        std::size_t failures = 0;
        store::RebuildResult result;
        const bool rebuilt =
            store::rebuildIndex(store::StoreLayout(m_location), result, [&](const std::string& message) {
                ++failures;
                listener.failed(message);
            });
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
        if (!result.setAside.empty())
            note += "; the old index is kept as " + result.setAside;
        listener.noted(note);
        MaintenanceSummary summary = check(listener);
        summary.failures += failures;
        return summary;
    }
    return check(listener);
}

MaintenanceSummary StoreMaintenance::prune(bool dryRun, StoreMaintenanceListener& listener)
{
    store::MaintenancePass pass(m_location, m_gracePeriod, !dryRun, listener);
    if (pass.start()) {
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
