#include "CliReporter.h"
#include "Commands.h"
#include "JsonOutput.h"

#include "FileVersionStore.h"
#include "Names.h"
#include "Thinning.h"

#include <QDateTime>

#include <cstdio>

namespace strataloom::cli {

namespace {

// document id, index, taken, size, the rule that keeps the version or lets
// it go, then the document's last known path, escaped ("-" if none).
std::string decisionLine(const ThinningResult& result, const ThinningDecision& decision)
{
    const ThinnedDocument& document = result.documents[decision.document];
    char number[16];
    std::snprintf(number, sizeof number, "%05u", static_cast<unsigned>(decision.index));
    const FileTime taken{decision.takenNs / 1'000'000'000,
                         static_cast<std::uint32_t>(decision.takenNs % 1'000'000'000)};
    return document.id + "\t" + number + "\t" + taken.toIso8601() + "\t" + std::to_string(decision.size) + "\t"
         + std::string(retentionName(decision.retention)) + "\t"
         + (document.path ? printableName(*document.path) : std::string("-")) + "\n";
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
    const auto write = [](const std::string& text) {
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    };
    bool written = true;
    if (invocation.has("json")) {
        written = write(thinningJson(*result, options.dryRun));
    } else {
        // Line by line: a large store has a line per version.
        for (const ThinningDecision& decision : result->decisions)
            written = write(decisionLine(*result, decision)) && written;
        written = write(std::to_string(result->removed) + (result->removed == 1 ? " version" : " versions") + ", "
                        + std::to_string(result->bytesFreed) + " bytes, "
                        + (options.dryRun ? "would be removed" : "removed") + "\n")
               && written;
    }
    if (!written || std::fflush(stdout) != 0) {
        printError("cannot write what thinning decided");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
