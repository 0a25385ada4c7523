#pragma once

#include "FileDescriptor.h"
#include "QuietPeriod.h"
#include "WatchStatus.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QSocketNotifier;

// The watcher service: one per store (a lock in the store's folder), it
// watches the folders of WatchSettings, scans them at start (catching up on
// saves made while it was stopped, and taking the first versions of folders
// added), and versions every file saved there once its quiet period is over,
// many documents per durable batch. Long work is done in slices between which
// events and signals are handled; when nothing happens it sets no timer.
// Settings changes are picked up by watching the settings file's folder (and
// on SIGHUP); SIGTERM and SIGINT stop it between two whole versions.
//
// Its parts live in one file each: the lifecycle and the slices of work
// (Watcher.cpp), settings (WatcherSettings.cpp), inotify's events and folders
// coming back (WatcherEvents.cpp), scans (WatcherScan.cpp), saving, free space
// and thinning (WatcherCommit.cpp), compaction (WatcherCompaction.cpp), and the
// status (WatcherStatus.cpp).
namespace strataloom {

class AutomaticSaves;

namespace watch {
class FolderWatch;
class ProcessSignals;
class SaveFilter;
} // namespace watch

class Watcher : public QObject {
    Q_OBJECT

public:
    struct Options {
        // Given on the command line; else the settings', followed as they change.
        std::optional<std::chrono::milliseconds> quietPeriod;
    };

    explicit Watcher(Options options, QObject* parent = nullptr);
    ~Watcher() override;

    // Takes the lock, watches the folders and starts the start-up scan; false,
    // with the reason, when another watcher runs or the system refuses.
    bool start(std::string* error = nullptr);
    // Commits what is staged, then emits finished().
    void stop();

signals:
    void finished(int exitCode);

private:
    // A walk of folders: first every folder is watched and its files counted,
    // then the files are looked at folder by folder.
    struct Scan {
        std::vector<std::string> toWalk;
        std::vector<std::string> walked;
        std::size_t nextFolder = 0;
        std::vector<std::string> entries; // of walked[nextFolder], once read
        std::size_t nextEntry = 0;
        bool entriesRead = false;
        std::size_t total = 0;
        std::size_t done = 0;
        bool startUp = false;
        bool whole = false; // every watched folder, from the top
        bool scanMode = false;
    };

    // Watcher.cpp
    bool takeLock(std::string* error);
    void scheduleWork();
    void doWork();
    void armQuietTimer();
    void finish();

    // WatcherSettings.cpp
    void watchSettingsFile();
    void reloadSettings();
    bool isRoot(const std::string& path) const;
    bool underRoot(const std::string& path) const;

    // WatcherEvents.cpp
    void onFileSaved(const std::string& path);
    void onFolderAppeared(const std::string& path);
    void onFolderMoved(const std::string& from, const std::string& to);
    void onFolderLost(const std::string& path);
    void onOverflow();
    void watchMounts();
    // Folders that were replaced, covered or uncovered by a mount, or that
    // came back, are watched and scanned again.
    void recheckFolders();
    void notWatched(const std::string& root, const std::string& reason);
    void armMissingTimer();

    // WatcherScan.cpp
    void queueScan(std::vector<std::string> folders, bool whole);
    void walkStep(Scan& scan);
    void stageStep(Scan& scan);
    void finishScan();
    bool watchFolder(const std::string& path, bool isRoot);
    void rescanOverLimit();

    // WatcherCommit.cpp
    void saveFile(const std::string& path);
    // Lists what is staged; returns the documents saved.
    std::vector<std::string> commit();
    // Thins the documents just saved (none: nothing to do).
    void thinSaved(const std::vector<std::string>& documents);
    // Thins every document, then gives the memory that took back.
    void thinWholeStore();
    // After a batch: thins and compacts the documents saved.
    void afterBatch(const std::vector<std::string>& saved);

    // WatcherCompaction.cpp
    // Has the whole store compacted in the slices that follow: at start, for
    // histories stored whole by earlier releases or whose re-encoding after
    // their add was cut short. Not daily: what neither a delta nor
    // compression paid for would only be tried again.
    void compactWholeStore();
    // Compacts the whole store until `sliceEnd` or a save is due, from where
    // the last slice stopped; once done, gives the memory back.
    void compactionSlice(std::chrono::steady_clock::time_point sliceEnd);
    // Whether the store's file system keeps its floor of free space after
    // `bytes` more; says so once when it does not.
    bool roomFor(std::uint64_t bytes);
    void checkSpaceReturned();

    // WatcherStatus.cpp
    void problem(const std::string& message);
    void statusChanged();
    void writeStatus();

    Options m_options;
    UniqueFd m_lock;
    std::unique_ptr<AutomaticSaves> m_saves;
    std::unique_ptr<watch::SaveFilter> m_filter;
    watch::FolderWatch* m_folders;
    watch::ProcessSignals* m_signals;
    watch::QuietPeriod m_quiet;
    QTimer m_quietTimer;
    QTimer m_statusTimer;
    QTimer m_thinningTimer;
    QTimer m_missingTimer;
    QTimer m_overLimitTimer;
    QTimer m_spaceTimer;
    UniqueFd m_mounts;
    std::unique_ptr<QSocketNotifier> m_mountNotifier;

    std::vector<std::string> m_roots;
    std::vector<std::string> m_patterns;
    std::string m_storeLocation;
    std::string m_settingsFile;
    std::string m_configFolder;
    std::deque<Scan> m_scans;
    std::set<std::string> m_reportedTooLarge;
    // Watched folders not watched now, with why, until they come back.
    std::map<std::string, std::string> m_notWatched;
    // Folders left unwatched by the inotify limit: rescanned now and then.
    std::set<std::string> m_overLimit;
    // Saves put off while the store's file system is short of space.
    std::set<std::string> m_putOff;
    std::optional<std::uint64_t> m_freeSpaceFloorSetting;
    std::uint64_t m_stagedBytes = 0;
    std::uint64_t m_neededBytes = 0;
    // A whole-store compaction under way, and the document it goes on from.
    bool m_compactionPending = false;
    std::int64_t m_compactionFrom = 0;

    bool m_workScheduled = false;
    bool m_stopping = false;
    bool m_finished = false;
    bool m_commitFailed = false;
    bool m_limitReported = false;
    bool m_shortOfSpace = false;
    WatchStatus m_status;
    std::int64_t m_statusWrittenMs = 0;
};

} // namespace strataloom
