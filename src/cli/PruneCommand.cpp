#include "CliReporter.h"
#include "Commands.h"
#include "StoreReport.h"

#include "platform/FileVersionStore.h"

namespace strataloom::cli {

int prune(const Invocation& invocation)
{
    CliReporter reporter;
    StoreReport report(reporter);
    StoreMaintenance maintenance(FileVersionStore::defaultLocation());
    const MaintenanceSummary summary = maintenance.prune(invocation.has("dry-run"), report);
    if (!report.written()) {
        printError("cannot write the list of what was removed");
        return kExitFailure;
    }
    return summary.failures > 0 ? kExitFailure : kExitOk;
}

} // namespace strataloom::cli
