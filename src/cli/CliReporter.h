#pragma once

#include "Reporter.h"

#include <csignal>
#include <string>

namespace strataloom::cli {

// Prints every detail an operation reports as "strataloom-cli: <detail>", and its
// cause, when known, on the next line in the same form. While
// it lives, Ctrl-C asks the operation to stop between entries, and when stderr is
// a terminal a progress line is kept up to date in place and cleared at the end.
class CliReporter : public Reporter {
public:
    CliReporter();
    ~CliReporter() override;
    CliReporter(const CliReporter&) = delete;
    CliReporter& operator=(const CliReporter&) = delete;

    void showError(const QString& detail) override;
    void showErrorWithCause(const QString& detail, const std::string& cause) override;
    void progress(std::size_t done, std::size_t total, const std::string& name) override;
    bool shouldStop() const override;

    bool reported() const { return m_reported; }
    bool interrupted() const { return shouldStop(); }
    // 130 after Ctrl-C, 1 when any detail was reported, else 0.
    int exitCode() const;
    // Erases the progress line, e.g. before other output on the same terminal.
    void clearProgress();

private:
    bool m_reported = false;
    bool m_terminal = false;
    bool m_progressShown = false;
    struct sigaction m_previousInterrupt {};
};

// Prints "strataloom-cli: <message>" on stderr.
void printError(const std::string& message);

} // namespace strataloom::cli
