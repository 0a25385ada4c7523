// The status: the problems logged, the status file and the service manager's
// status line.
#include "Watcher.h"

#include "FolderWatch.h"
#include "Names.h"
#include "SystemdNotify.h"
#include "WatchState.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcWatch)

namespace strataloom {

namespace {

// The status file is rewritten at most this often while busy.
constexpr std::int64_t kStatusIntervalMs = 1000;
// How long the service manager waits for readiness from each report of a
// start-up scan's progress, which one large file may hold up for a while.
constexpr const char* kExtendStartTimeout = "EXTEND_TIMEOUT_USEC=120000000";

} // namespace

void Watcher::problem(const std::string& message)
{
    // A message names files: it is made printable whole, so that no name in
    // it can forge a line of the log.
    const std::string text = printableName(message);
    qCWarning(lcWatch, "%s", text.c_str());
    m_status.addError(nowMs(), text);
    statusChanged();
}

void Watcher::statusChanged()
{
    if (m_statusTimer.isActive() || m_finished)
        return;
    const std::int64_t since = nowMs() - m_statusWrittenMs;
    if (since >= kStatusIntervalMs || since < 0)
        writeStatus();
    else
        m_statusTimer.start(static_cast<int>(kStatusIntervalMs - since));
}

void Watcher::writeStatus()
{
    m_status.folders.clear();
    for (const std::string& root : m_roots)
        if (!m_notWatched.count(root))
            m_status.folders.push_back(root);
    m_status.notWatched.clear();
    for (const auto& [folder, reason] : m_notWatched)
        m_status.notWatched.push_back({folder, reason});
    m_status.watches = m_folders->count();
    m_status.waiting = m_quiet.size() + m_putOff.size();
    m_status.scanDone = m_scans.empty() ? 0 : m_scans.front().done;
    m_status.scanTotal = m_scans.empty() ? 0 : std::max(m_scans.front().total, m_scans.front().done);
    m_statusWrittenMs = nowMs();
    std::string error;
    if (!m_status.write(watchStatusPath(), &error))
        qCWarning(lcWatch, "%s", printableName(error).c_str());
    if (m_scans.empty() || m_finished)
        return;
    std::string state = "STATUS=Looking at " + std::to_string(m_status.scanDone) + " of "
                      + std::to_string(m_status.scanTotal) + " files";
    if (!m_status.ready)
        state += std::string("\n") + kExtendStartTimeout;
    watch::notifyServiceManager(state);
}

} // namespace strataloom
