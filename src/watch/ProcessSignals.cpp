#include "ProcessSignals.h"

#include "ErrorMessage.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom::watch {

namespace {

// One pipe for the process: a handler can only reach static storage.
int pipeEnds[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    // A full pipe already holds a request the loop has yet to read.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = saved;
}

} // namespace

ProcessSignals::ProcessSignals(QObject* parent)
    : QObject(parent)
{
}

ProcessSignals::~ProcessSignals()
{
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        std::signal(number, SIG_DFL);
    m_notifier.reset();
    for (int& end : pipeEnds) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

bool ProcessSignals::install(std::string* error)
{
    if (pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0)
        return fail(error, errnoMessage("cannot prepare for signals"));
    m_notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &ProcessSignals::readSignals);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        if (sigaction(number, &action, nullptr) != 0)
            return fail(error, errnoMessage("cannot handle signals"));
    return true;
}

void ProcessSignals::readSignals()
{
    char numbers[64];
    ssize_t count;
    while ((count = ::read(pipeEnds[0], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (numbers[i] == SIGHUP)
                emit reloadRequested();
            else
                emit stopRequested();
        }
    }
}

} // namespace strataloom::watch
