#pragma once

#include "FileDescriptor.h"
#include "QuietPeriod.h"
#include "WatchStatus.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The watcher service: one per user (a lock in its state folder), it watches
// the folders of WatchSettings, scans them at start (catching up on saves made
// while it was stopped, and taking the first versions of folders added), and
// versions every file saved there once its quiet period is over, many
// documents per durable batch. Long work is done in slices between which
// events and signals are handled; when nothing happens it sets no timer.
// Settings changes are picked up by watching the settings file's folder (and
// on SIGHUP); SIGTERM and SIGINT stop it between two whole versions.
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

    bool takeLock(std::string* error);
    void watchSettingsFile();
    void reloadSettings();

    void onFileSaved(const std::string& path);
    void onFolderAppeared(const std::string& path);
    void onFolderMoved(const std::string& from, const std::string& to);
    void onFolderLost(const std::string& path);
    void onOverflow();

    void scheduleWork();
    void doWork();
    void walkStep(Scan& scan);
    void stageStep(Scan& scan);
    void finishScan();
    void queueScan(std::vector<std::string> folders, bool whole);
    bool watchFolder(const std::string& path, bool isRoot);

    void saveFile(const std::string& path);
    // Lists what is staged; returns the documents saved.
    std::vector<std::string> commit();
    // Thins the documents given (just saved), or every document.
    void thin(const std::vector<std::string>& documents);
    void finish();

    bool underRoot(const std::string& path) const;
    bool isRoot(const std::string& path) const;
    void problem(const std::string& message);
    void armQuietTimer();
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

    std::vector<std::string> m_roots;
    std::vector<std::string> m_patterns;
    std::string m_settingsFile;
    std::string m_configFolder;
    std::deque<Scan> m_scans;
    std::set<std::string> m_reportedTooLarge;

    bool m_workScheduled = false;
    bool m_stopping = false;
    bool m_finished = false;
    bool m_commitFailed = false;
    bool m_limitReported = false;
    WatchStatus m_status;
    std::int64_t m_statusWrittenMs = 0;
};

} // namespace strataloom
