#include "CliReporter.h"
#include "Commands.h"
#include "JsonOutput.h"

#include "FileVersionStore.h"
#include "Thinning.h"

#include <QDateTime>

#include <cstdio>

namespace strataloom::cli {

namespace {

// document id, index, taken, size, the rule that keeps the version or lets
// it go, then the document's last known path as exact bytes ("-" if none).
std::string decisionLine(const ThinningDecision& decision)
{
    char number[16];
    std::snprintf(number, sizeof number, "%05zu", decision.index);
    const FileTime taken{decision.takenNs / 1'000'000'000,
                         static_cast<std::uint32_t>(decision.takenNs % 1'000'000'000)};
    return decision.documentId + "\t" + number + "\t" + taken.toIso8601() + "\t" + std::to_string(decision.size) + "\t"
         + std::string(retentionName(decision.retention)) + "\t" + decision.documentPath.value_or("-") + "\n";
}

} // namespace

int thin(const Invocation& invocation)
{
    const std::string location = FileVersionStore::defaultLocation();
    ThinningOptions options = thinningOptionsFromSettings(location);
    options.dryRun = invocation.has("dry-run");
    if (const auto now = invocation.value("now")) {
        const QDateTime moment = QDateTime::fromString(QString::fromStdString(*now), Qt::ISODateWithMs);
        if (!moment.isValid()) {
            printError("--now takes a date and time in ISO 8601, e.g. 2027-01-01T00:00:00Z, not '" + *now + "'");
            return kExitUsage;
        }
        options.nowNs = moment.toMSecsSinceEpoch() * 1'000'000;
    }
    std::string error;
    const auto result = thinStore(location, options, &error);
    if (!result) {
        printError(error);
        return kExitFailure;
    }
    std::string out;
    if (invocation.has("json")) {
        out = thinningJson(*result, options.dryRun);
    } else {
        for (const ThinningDecision& decision : result->decisions)
            out += decisionLine(decision);
        out += std::to_string(result->removed) + (result->removed == 1 ? " version" : " versions") + ", "
             + std::to_string(result->bytesFreed) + " bytes, " + (options.dryRun ? "would be removed" : "removed")
             + "\n";
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        printError("cannot write what thinning decided");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
