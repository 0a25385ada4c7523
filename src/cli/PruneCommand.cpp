#include "CliReporter.h"
#include "Commands.h"
#include "StoreReport.h"

#include "FileVersionStore.h"

namespace strataloom::cli {

int prune(const Invocation& invocation)
{
    CliReporter reporter;
    StoreReport report(reporter);
    StoreMaintenance maintenance(FileVersionStore::defaultLocation());
    const bool dryRun = invocation.has("dry-run");
    const MaintenanceSummary summary = maintenance.prune(dryRun, report);
    if (const auto code =
            report.stopped(summary,
                           dryRun ? "interrupted"
                                  : "interrupted; what is listed above was removed, the rest is left for a later run",
                           "cannot write the list of what was removed"))
        return *code;
    return summary.failures > 0 ? kExitFailure : kExitOk;
}

} // namespace strataloom::cli
