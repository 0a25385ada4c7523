// Settings: the settings file's folder is watched, and a change to the
// watched folders or the patterns takes effect at once.
#include "Watcher.h"

#include "FolderWatch.h"
#include "SaveFilter.h"
#include "WatchPaths.h"
#include "WatchSettings.h"
#include "WatchState.h"

#include <QLoggingCategory>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcWatch)

namespace strataloom {

using watch::FolderWatch;
using watch::isWithin;

void Watcher::watchSettingsFile()
{
    m_settingsFile = WatchSettings().fileName();
    m_configFolder = m_settingsFile.substr(0, m_settingsFile.find_last_of('/'));
    std::string error;
    if (!makePrivateFolders(m_configFolder, &error)
        || m_folders->watch(m_configFolder, &error) == FolderWatch::Added::Failed)
        problem(error + "; changes to the settings take effect on SIGHUP");
}

void Watcher::reloadSettings()
{
    const WatchSettings settings;
    const std::vector<std::string> roots = settings.folders();
    const std::vector<std::string> patterns = settings.excludedPatterns();
    m_freeSpaceFloorSetting = settings.freeSpaceFloor();
    if (!m_options.quietPeriod)
        m_quiet.setLength(settings.quietPeriod());
    m_filter = std::make_unique<watch::SaveFilter>(watch::SaveFilter::fromSettings());
    std::vector<std::string> added, removed;
    for (const std::string& root : roots)
        if (std::find(m_roots.begin(), m_roots.end(), root) == m_roots.end())
            added.push_back(root);
    for (const std::string& root : m_roots)
        if (std::find(roots.begin(), roots.end(), root) == roots.end())
            removed.push_back(root);
    m_roots = roots;

    std::vector<std::string> toWalk = added;
    for (const std::string& gone : removed) {
        m_notWatched.erase(gone);
        if (underRoot(gone) || isRoot(gone))
            continue;
        m_folders->unwatchTree(gone);
        m_quiet.forgetUnder(gone);
        // A watched folder inside the one removed lost its watches with it.
        for (const std::string& root : m_roots)
            if (isWithin(root, gone))
                toWalk.push_back(root);
        // So did the settings' folder, when inside.
        if (isWithin(m_configFolder, gone))
            m_folders->watch(m_configFolder);
    }
    if (patterns != m_patterns) {
        m_patterns = patterns;
        queueScan(m_roots, true);
    } else if (!toWalk.empty()) {
        queueScan(toWalk, false);
    }
    if (!added.empty() || !removed.empty())
        qCInfo(lcWatch, "watching %zu folders", m_roots.size());
    armQuietTimer();
    statusChanged();
}

bool Watcher::isRoot(const std::string& path) const
{
    return std::find(m_roots.begin(), m_roots.end(), path) != m_roots.end();
}

bool Watcher::underRoot(const std::string& path) const
{
    return std::any_of(m_roots.begin(), m_roots.end(), [&](const std::string& root) { return isWithin(path, root); });
}

} // namespace strataloom
