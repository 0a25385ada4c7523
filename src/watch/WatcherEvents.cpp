// inotify's events, and watched folders that go and come back: deleted and
// made again, moved away and back, covered or uncovered by a mount.
#include "Watcher.h"

#include "FolderWatch.h"
#include "Names.h"
#include "SaveFilter.h"
#include "WatchPaths.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/stat.h>

Q_DECLARE_LOGGING_CATEGORY(lcWatch)

namespace strataloom {

using Clock = watch::QuietPeriod::Clock;
using watch::nameOf;

namespace {

// A folder that went is looked for again after this, then twice as long each
// time up to the longest wait, and at once when a folder appears or a file
// system is mounted or unmounted.
constexpr int kMissingFirstWaitMs = 500;
constexpr int kMissingLongestWaitMs = 10'000;

bool isFolder(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

void Watcher::onFileSaved(const std::string& path)
{
    if (path == m_settingsFile)
        reloadSettings();
    if (m_stopping || !underRoot(path) || m_filter->excludesName(nameOf(path)))
        return;
    m_quiet.saw(path, Clock::now());
    armQuietTimer();
    statusChanged();
}

void Watcher::onFolderAppeared(const std::string& path)
{
    if (underRoot(path) && !m_filter->excludesFolder(path))
        queueScan({path}, false);
    if (!m_notWatched.empty())
        recheckFolders();
}

void Watcher::onFolderMoved(const std::string& from, const std::string& to)
{
    const std::size_t waiting = m_quiet.forgetUnder(from);
    if (!underRoot(to) || m_filter->excludesFolder(to))
        m_folders->unwatchTree(to);
    else if (waiting > 0)
        queueScan({to}, false); // for the saves that were waiting under the old name
}

void Watcher::onFolderLost(const std::string& path)
{
    m_quiet.forgetUnder(path);
    if (path == m_configFolder) {
        problem("the settings folder " + path + " was removed: changes to the settings take effect on SIGHUP");
    } else if (isRoot(path) || underRoot(path)) {
        // A file system unmounted leaves the folder it covered, which is
        // watched in its place; a folder made again at once is watched too.
        if (isFolder(path))
            queueScan({path}, false);
        else if (isRoot(path))
            notWatched(path, "it was deleted or moved away");
    }
    statusChanged();
}

void Watcher::onOverflow()
{
    problem("the kernel dropped events of watched folders: looking at every watched folder again");
    queueScan(m_roots, true);
}

void Watcher::watchMounts()
{
    // The mount table reports a change as an exceptional condition.
    m_mounts.reset(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    if (!m_mounts.valid()) {
        qCInfo(lcWatch, "cannot follow mounts: folders covered by a mount are watched again at the next scan");
        return;
    }
    m_mountNotifier = std::make_unique<QSocketNotifier>(m_mounts.get(), QSocketNotifier::Exception);
    connect(m_mountNotifier.get(), &QSocketNotifier::activated, this, [this] {
        std::vector<std::string> replaced;
        for (const std::string& path : m_folders->replacedFolders())
            if (isRoot(path) || underRoot(path)) {
                m_folders->unwatchTree(path);
                m_quiet.forgetUnder(path);
                replaced.push_back(path);
            }
        if (!replaced.empty())
            queueScan(std::move(replaced), false);
        recheckFolders();
    });
}

void Watcher::notWatched(const std::string& root, const std::string& reason)
{
    if (!m_notWatched.emplace(root, reason).second)
        return;
    problem("not watching " + root + ": " + reason + "; it is watched again when it comes back");
    m_missingTimer.setInterval(kMissingFirstWaitMs / 2);
    armMissingTimer();
}

void Watcher::recheckFolders()
{
    std::vector<std::string> back;
    for (auto it = m_notWatched.begin(); it != m_notWatched.end();) {
        if (isFolder(it->first)) {
            qCInfo(lcWatch, "%s is back: watching it again", printableName(it->first).c_str());
            back.push_back(it->first);
            it = m_notWatched.erase(it);
        } else {
            ++it;
        }
    }
    if (!back.empty())
        queueScan(std::move(back), false);
    armMissingTimer();
    statusChanged();
}

void Watcher::armMissingTimer()
{
    if (m_notWatched.empty() || m_finished) {
        m_missingTimer.stop();
        return;
    }
    if (m_missingTimer.isActive())
        return;
    m_missingTimer.start(std::min(m_missingTimer.interval() * 2, kMissingLongestWaitMs));
}

} // namespace strataloom
