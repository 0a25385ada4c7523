#include "StoreReport.h"
#include "Commands.h"

#include <cstdio>

namespace strataloom::cli {

namespace {

const char* kindName(StoreFinding::Kind kind)
{
    switch (kind) {
    case StoreFinding::Kind::Missing:
        return "missing";
    case StoreFinding::Kind::Corrupted:
        return "corrupted";
    case StoreFinding::Kind::Unreadable:
        return "unreadable";
    case StoreFinding::Kind::Unreferenced:
        return "unreferenced";
    case StoreFinding::Kind::Leftover:
        return "leftover";
    case StoreFinding::Kind::ForgottenVersion:
        return "version";
    case StoreFinding::Kind::Unindexed:
        return "unindexed";
    }
    return "?";
}

bool isVersion(StoreFinding::Kind kind)
{
    return kind != StoreFinding::Kind::Unreferenced && kind != StoreFinding::Kind::Leftover
        && kind != StoreFinding::Kind::Unindexed;
}

} // namespace

void StoreReport::found(const StoreFinding& finding)
{
    m_reporter.clearProgress();
    std::string line = kindName(finding.kind);
    if (isVersion(finding.kind)) {
        char index[16];
        std::snprintf(index, sizeof index, "%05zu", finding.index);
        // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict
        // on "literal" + std::string.
        line.append("\t").append(finding.document.value_or("-")).append("\t").append(index);
    }
    line += "\t" + finding.path + "\n";
    m_written =
        std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0 && m_written;
    if (!finding.detail.empty())
        printError("cannot read " + finding.path + ": " + finding.detail);
}

std::optional<int> StoreReport::stopped(const MaintenanceSummary& summary, const std::string& interrupted,
                                        const std::string& unwritten) const
{
    if (summary.interrupted) {
        printError(interrupted);
        return kExitInterrupted;
    }
    if (!m_written) {
        printError(unwritten);
        return kExitFailure;
    }
    return std::nullopt;
}

void StoreReport::noted(const std::string& message)
{
    m_reporter.clearProgress();
    printError(message);
}

void StoreReport::failed(const std::string& message)
{
    m_reporter.clearProgress();
    printError(message);
}

void StoreReport::progress(std::size_t done, std::size_t total, const std::string& name)
{
    m_reporter.progress(done, total, name);
}

} // namespace strataloom::cli
