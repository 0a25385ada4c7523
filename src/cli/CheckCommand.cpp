#include "CliReporter.h"
#include "Commands.h"
#include "StoreReport.h"

#include "FileVersionStore.h"

namespace strataloom::cli {

int check(const Invocation& invocation)
{
    CliReporter reporter;
    StoreReport report(reporter);
    StoreMaintenance maintenance(FileVersionStore::defaultLocation());
    const MaintenanceSummary summary =
        invocation.has("repair") ? maintenance.repair(report) : maintenance.check(report);
    reporter.clearProgress();
    if (const auto code =
            report.stopped(summary, "interrupted; " + std::to_string(summary.findings) + " problems found so far",
                           "cannot write the findings"))
        return *code;
    if (summary.findings > 0)
        printError(std::to_string(summary.findings) + (summary.findings == 1 ? " problem" : " problems")
                   + " found in the version store " + maintenance.location());
    return summary.findings > 0 || summary.failures > 0 ? kExitFailure : kExitOk;
}

} // namespace strataloom::cli
