#include "CliReporter.h"
#include "Commands.h"

#include "Compaction.h"
#include "FileVersionStore.h"

#include <cstdio>

namespace strataloom::cli {

namespace {

std::string records(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " record" : " records");
}

} // namespace

int compact(const Invocation& invocation)
{
    CliReporter reporter;
    CompactionOptions options;
    options.dryRun = invocation.has("dry-run");
    options.shouldStop = [&reporter] { return reporter.shouldStop(); };
    options.progress = [&reporter](std::size_t done, std::size_t total, const std::string& document) {
        reporter.progress(done, total, document);
    };
    std::string error;
    const auto result = compactStore(FileVersionStore::defaultLocation(), options, &error);
    reporter.clearProgress();
    if (!result) {
        printError(error);
        return kExitFailure;
    }
    std::string summary;
    if (options.dryRun)
        summary = records(result->candidates) + " of older versions, " + std::to_string(result->bytesBefore)
                + " bytes on disk, would be re-encoded\n";
    else
        summary = records(result->reEncoded) + " re-encoded, " + records(result->keptWhole) + " kept whole; they took "
                + std::to_string(result->bytesBefore) + " bytes on disk and now take "
                + std::to_string(result->bytesAfter) + "\n";
    const bool written = std::fwrite(summary.data(), 1, summary.size(), stdout) == summary.size();
    if (!written || std::fflush(stdout) != 0) {
        printError("cannot write what compaction did");
        return kExitFailure;
    }
    if (result->interrupted) {
        printError(options.dryRun ? "interrupted"
                                  : "interrupted; what is counted above was done, 'strataloom-cli compact' goes on "
                                    "from there");
        return kExitInterrupted;
    }
    return kExitOk;
}

} // namespace strataloom::cli
