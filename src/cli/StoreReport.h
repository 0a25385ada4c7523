#pragma once

#include "CliReporter.h"

#include "StoreMaintenance.h"

#include <optional>
#include <string>

namespace strataloom::cli {

// Prints what `check`, `prune` and `forget` find, one tab-separated line per
// finding on stdout, paths as their exact bytes:
//   <kind> TAB <document path or -> TAB <index> TAB <stored file>   for a version
//   <kind> TAB <path>                                                for a file or folder
// Kinds: missing, corrupted, unreadable, version (of a document being
// forgotten), unreferenced, leftover. Failures go to stderr through the
// reporter, which also shows a check's progress on a terminal and catches
// Ctrl-C.
class StoreReport : public StoreMaintenanceListener {
public:
    explicit StoreReport(CliReporter& reporter)
        : m_reporter(reporter)
    {
    }

    void found(const StoreFinding& finding) override;
    void failed(const std::string& message) override;
    void noted(const std::string& message) override;
    void progress(std::size_t done, std::size_t total, const std::string& name) override;
    bool shouldStop() const override { return m_reporter.shouldStop(); }

    // False once stdout could not be written.
    bool written() const { return m_written; }
    // The exit code of a pass that was interrupted or whose findings could not
    // be written, after printing `interrupted` or `unwritten`; none otherwise.
    std::optional<int> stopped(const MaintenanceSummary& summary, const std::string& interrupted,
                               const std::string& unwritten) const;

private:
    CliReporter& m_reporter;
    bool m_written = true;
};

} // namespace strataloom::cli
