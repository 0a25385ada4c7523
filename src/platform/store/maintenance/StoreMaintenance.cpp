// Check, prune and forget: the order of their steps. Each step lives in its
// own file beside this one.
#include "StoreMaintenance.h"
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
