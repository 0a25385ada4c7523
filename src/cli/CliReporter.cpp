#include "CliReporter.h"

#include "Commands.h"
#include "Names.h"

#include <cstdio>
#include <unistd.h>

namespace strataloom::cli {

namespace {

volatile std::sig_atomic_t interruptRequested = 0;

extern "C" void onInterrupt(int)
{
    interruptRequested = 1;
}

} // namespace

void printError(const std::string& message)
{
    std::fprintf(stderr, "strataloom-cli: %s\n", message.c_str());
}

CliReporter::CliReporter()
    : m_terminal(isatty(STDERR_FILENO) == 1)
{
    interruptRequested = 0;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_previousInterrupt);
}

CliReporter::~CliReporter()
{
    clearProgress();
    sigaction(SIGINT, &m_previousInterrupt, nullptr);
}

void CliReporter::showError(const QString& detail)
{
    clearProgress();
    m_reported = true;
    printError(detail.toStdString());
}

void CliReporter::showErrorWithCause(const QString& detail, const std::string& cause)
{
    showError(detail);
    // The cause names paths as bytes; escaped, none can forge a line.
    if (!cause.empty())
        printError(printableName(cause));
}

void CliReporter::progress(std::size_t done, std::size_t total, const std::string& name)
{
    if (!m_terminal)
        return;
    // Carriage return and erase-line keep the progress on one line.
    std::fprintf(stderr, "\r\033[K%zu/%zu %s", done, total, name.c_str());
    std::fflush(stderr);
    m_progressShown = true;
}

bool CliReporter::shouldStop() const
{
    return interruptRequested != 0;
}

int CliReporter::exitCode() const
{
    if (interrupted())
        return kExitInterrupted;
    return m_reported ? kExitFailure : kExitOk;
}

void CliReporter::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_progressShown = false;
}

} // namespace strataloom::cli
