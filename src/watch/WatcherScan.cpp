// Scans: the start-up scan, folders added or appearing, and the rescans of
// folders the inotify limit leaves unwatched.
#include "Watcher.h"

#include "AutomaticSaves.h"
#include "ErrorMessage.h"
#include "FolderWatch.h"
#include "Names.h"
#include "SaveFilter.h"
#include "SystemdNotify.h"
#include "WatchPaths.h"

#include <QLoggingCategory>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include <malloc.h>
#include <sys/stat.h>

Q_DECLARE_LOGGING_CATEGORY(lcWatch)

namespace strataloom {

using watch::childPath;
using watch::EntryKind;
using watch::FolderWatch;
using watch::kindOf;
using watch::openFolder;
using watch::OpenFolder;

namespace {

// Files looked at between two looks at the clock.
constexpr std::size_t kStep = 32;
constexpr auto kThinningInterval = std::chrono::hours(24);
// Folders the inotify limit leaves unwatched are looked at again this often
// (tests wait less: STRATALOOM_TEST_RESCAN_MS).
std::chrono::milliseconds overLimitInterval()
{
    if (const char* wait = std::getenv("STRATALOOM_TEST_RESCAN_MS"))
        return std::chrono::milliseconds(std::strtol(wait, nullptr, 10));
    return std::chrono::minutes(3);
}

std::string inotifyWatchLimit()
{
    std::ifstream limit("/proc/sys/fs/inotify/max_user_watches");
    std::string value;
    return limit >> value ? value : "?";
}

} // namespace

void Watcher::queueScan(std::vector<std::string> folders, bool whole)
{
    // Own folders made again since are other inodes.
    m_filter->ownFolders().refresh();
    // A scan that has not begun looking at files yet takes the folders on.
    if (!m_scans.empty() && m_scans.back().nextFolder == 0 && !m_scans.back().entriesRead) {
        Scan& last = m_scans.back();
        last.toWalk.insert(last.toWalk.end(), folders.begin(), folders.end());
        last.whole = last.whole || whole;
    } else {
        Scan scan;
        scan.toWalk = std::move(folders);
        scan.whole = whole;
        m_scans.push_back(std::move(scan));
    }
    scheduleWork();
}

bool Watcher::watchFolder(const std::string& path, bool root)
{
    std::string error;
    switch (m_folders->watch(path, &error)) {
    case FolderWatch::Added::Added:
    case FolderWatch::Added::Known:
        return true;
    case FolderWatch::Added::LimitReached:
        m_overLimit.insert(path);
        if (!m_overLimitTimer.isActive())
            m_overLimitTimer.start(overLimitInterval());
        if (!m_limitReported) {
            m_limitReported = true;
            m_status.watchLimitReached = true;
            problem("cannot watch every folder: the " + inotifyWatchLimit()
                    + " inotify watches allowed (fs.inotify.max_user_watches) are in use; folders not watched are "
                      "looked at again every few minutes");
        }
        return true; // its files are still scanned
    case FolderWatch::Added::Failed:
        if ((errno == ENOENT || errno == ENOTDIR) && root) {
            notWatched(path, "it does not exist");
            return false;
        }
        if (errno == ENOENT || errno == ENOTDIR)
            return false; // gone before its turn
        problem(error);
        return false;
    }
    return false;
}

void Watcher::walkStep(Scan& scan)
{
    const std::string folder = std::move(scan.toWalk.back());
    scan.toWalk.pop_back();
    const bool root = isRoot(folder);
    if (root && m_filter->isOwn(folder)) {
        problem("cannot watch " + folder + ": it is Strataloom's own folder or inside it");
        return;
    }
    if (!root && !underRoot(folder))
        return;
    const OpenFolder entries = openFolder(folder);
    const int openError = entries ? 0 : errno;
    // Strataloom's own folders reached by another path (a bind mount, a
    // second mount) are neither watched nor scanned.
    if (entries && m_filter->isOwnFolder(dirfd(entries.get()), folder)) {
        m_folders->unwatchTree(folder);
        if (root)
            problem("cannot watch " + folder + ": it is Strataloom's own folder, reached by another path");
        else
            qCInfo(lcWatch, "not watching %s: it is Strataloom's own folder, reached by another path",
                   printableName(folder).c_str());
        return;
    }
    if (!watchFolder(folder, root))
        return;
    if (!entries) {
        if (openError != ENOENT) {
            errno = openError;
            problem(errnoMessage("cannot read " + folder));
        }
        return;
    }
    while (const dirent* entry = readdir(entries.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        switch (kindOf(entries.get(), *entry)) {
        case EntryKind::Folder:
            if (const std::string child = childPath(folder, name); !m_filter->excludesFolder(child))
                scan.toWalk.push_back(child);
            break;
        case EntryKind::File:
            ++scan.total;
            break;
        case EntryKind::Other:
            break;
        }
    }
    scan.walked.push_back(folder);
}

void Watcher::stageStep(Scan& scan)
{
    // Comparing each file with a snapshot of the newest versions pays off for
    // many files, not for a folder just made.
    if (!scan.scanMode && (scan.startUp || scan.whole || scan.total >= AutomaticSaves::kBatchSize)) {
        m_saves->beginScan();
        scan.scanMode = true;
    }
    const std::string& folder = scan.walked[scan.nextFolder];
    if (!scan.entriesRead) {
        scan.entriesRead = true;
        scan.nextEntry = 0;
        scan.entries.clear();
        if (const OpenFolder entries = (isRoot(folder) || underRoot(folder)) ? openFolder(folder) : nullptr) {
            while (const dirent* entry = readdir(entries.get()))
                if (kindOf(entries.get(), *entry) == EntryKind::File)
                    scan.entries.emplace_back(entry->d_name);
        }
    }
    for (std::size_t step = 0; step < kStep && scan.nextEntry < scan.entries.size() && !m_shortOfSpace; ++step) {
        const std::string path = childPath(folder, scan.entries[scan.nextEntry++]);
        // A file waiting for its quiet period is saved when that is over.
        if (!m_quiet.contains(path))
            saveFile(path);
        ++scan.done;
    }
    if (scan.nextEntry == scan.entries.size()) {
        scan.entries = {};
        scan.entriesRead = false;
        ++scan.nextFolder;
    }
}

void Watcher::finishScan()
{
    bool startUp = false, whole = false;
    {
        const Scan scan = std::move(m_scans.front());
        m_scans.pop_front();
        if (scan.scanMode)
            m_saves->endScan();
        commit();
        startUp = scan.startUp;
        whole = scan.whole;
    }
    // The scan of every folder held a list of them and a snapshot of the
    // store's newest versions, freed by now: give that memory back, before
    // the start's thinning pass takes its own.
    if (startUp || whole)
        malloc_trim(0);
    if (startUp) {
        // The whole store is thinned at start and then once a day; a day's
        // timer is the only one left running while nothing happens.
        thinWholeStore();
        m_thinningTimer.start(kThinningInterval);
        compactWholeStore();
        m_status.ready = true;
        const std::size_t watched = m_roots.size() - m_notWatched.size();
        qCInfo(lcWatch, "watching %zu folders (%zu inotify watches)", watched, m_folders->count());
        std::string error;
        if (!watch::notifyServiceManager("READY=1\nSTATUS=Watching " + std::to_string(watched) + " folders", &error))
            problem(error);
    }
    statusChanged();
}

void Watcher::rescanOverLimit()
{
    if (m_overLimit.empty()) {
        m_overLimitTimer.stop();
        m_limitReported = false;
        m_status.watchLimitReached = false;
        statusChanged();
        return;
    }
    // Only the topmost: a walk goes into the folders below.
    std::vector<std::string> folders;
    for (const std::string& folder : m_overLimit) {
        bool below = false;
        for (std::size_t slash = folder.find_last_of('/'); slash != std::string::npos && slash > 0 && !below;
             slash = folder.find_last_of('/', slash - 1))
            below = m_overLimit.count(folder.substr(0, slash)) != 0;
        if (!below)
            folders.push_back(folder);
    }
    m_overLimit.clear();
    queueScan(std::move(folders), false);
}

} // namespace strataloom
