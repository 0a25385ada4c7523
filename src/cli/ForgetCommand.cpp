#include "CliReporter.h"
#include "Commands.h"
#include "StoreReport.h"

#include "FileVersionStore.h"

namespace strataloom::cli {

int forget(const Invocation& invocation)
{
    CliReporter reporter;
    StoreReport report(reporter);
    StoreMaintenance maintenance(FileVersionStore::defaultLocation());
    const bool dryRun = invocation.has("dry-run");
    const MaintenanceSummary summary =
        maintenance.forget({invocation.arguments.at(0), invocation.has("id")}, dryRun, report);
    if (const auto code =
            report.stopped(summary, "interrupted; nothing was removed", "cannot write the list of what was removed"))
        return *code;
    return summary.failures > 0 ? kExitFailure : kExitOk;
}

} // namespace strataloom::cli
