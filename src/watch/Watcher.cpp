// The service's lifecycle: the lock, start, the slices of work and stop.
#include "Watcher.h"

#include "AutomaticSaves.h"
#include "ErrorMessage.h"
#include "FileVersionStore.h"
#include "FolderWatch.h"
#include "ProcessSignals.h"
#include "SaveFilter.h"
#include "StoreLayout.h"
#include "WatchSettings.h"
#include "WatchState.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcWatch, "strataloom.watch")

namespace strataloom {

using Clock = watch::QuietPeriod::Clock;
using watch::FolderWatch;

namespace {

// How long one slice of work keeps the event loop waiting.
constexpr auto kSlice = std::chrono::milliseconds(50);
// Files looked at, or saves staged, between two looks at the clock.
constexpr std::size_t kStep = 32;

} // namespace

Watcher::Watcher(Options options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_folders(new FolderWatch(this))
    , m_signals(new watch::ProcessSignals(this))
    , m_quiet(options.quietPeriod.value_or(WatchSettings().quietPeriod()))
{
    m_quietTimer.setSingleShot(true);
    m_quietTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_quietTimer, &QTimer::timeout, this, &Watcher::doWork);
    m_statusTimer.setSingleShot(true);
    connect(&m_statusTimer, &QTimer::timeout, this, &Watcher::writeStatus);
    m_thinningTimer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_thinningTimer, &QTimer::timeout, this, &Watcher::thinWholeStore);
    m_missingTimer.setSingleShot(true);
    connect(&m_missingTimer, &QTimer::timeout, this, &Watcher::recheckFolders);
    m_overLimitTimer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_overLimitTimer, &QTimer::timeout, this, &Watcher::rescanOverLimit);
    connect(&m_spaceTimer, &QTimer::timeout, this, &Watcher::checkSpaceReturned);
    connect(m_folders, &FolderWatch::fileSaved, this, &Watcher::onFileSaved);
    connect(m_folders, &FolderWatch::folderAppeared, this, &Watcher::onFolderAppeared);
    connect(m_folders, &FolderWatch::folderMoved, this, &Watcher::onFolderMoved);
    connect(m_folders, &FolderWatch::folderLost, this, &Watcher::onFolderLost);
    connect(m_folders, &FolderWatch::overflowed, this, &Watcher::onOverflow);
    connect(m_signals, &watch::ProcessSignals::stopRequested, this, &Watcher::stop);
    connect(m_signals, &watch::ProcessSignals::reloadRequested, this, &Watcher::reloadSettings);
}

Watcher::~Watcher() = default;

bool Watcher::takeLock(std::string* error)
{
    // The lock is the store's: two watchers of one store, whatever their
    // state folders, would store every save twice.
    if (!makePrivateFolders(m_storeLocation, error))
        return false;
    const std::string path = store::StoreLayout(m_storeLocation).watcherLockPath();
    m_lock.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!m_lock.valid())
        return fail(error, errnoMessage("cannot open " + path));
    // A reader of the status holds the lock shared for an instant; only a
    // watcher holds it for longer.
    for (int attempt = 0;; ++attempt) {
        if (flock(m_lock.get(), LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK)
            return fail(error, errnoMessage("cannot lock " + path));
        if (attempt == 20)
            return fail(error, "another watcher is already running on the store " + m_storeLocation + " (it holds "
                                   + path + ")");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool Watcher::start(std::string* error)
{
    m_storeLocation = FileVersionStore::defaultLocation();
    if (!makeWatchStateFolder(error) || !takeLock(error) || !m_signals->install(error) || !m_folders->open(error))
        return false;
    m_saves = std::make_unique<AutomaticSaves>(m_storeLocation);
    const WatchSettings settings;
    m_roots = settings.folders();
    m_patterns = settings.excludedPatterns();
    m_freeSpaceFloorSetting = settings.freeSpaceFloor();
    m_filter = std::make_unique<watch::SaveFilter>(watch::SaveFilter::fromSettings());
    watchSettingsFile();
    watchMounts();

    m_status.pid = getpid();
    m_status.startedMs = nowMs();
    if (m_roots.empty())
        qCInfo(lcWatch, "no folder is watched yet; add one with: strataloom-cli watch add FOLDER");
    queueScan(m_roots, true);
    m_scans.front().startUp = true;
    writeStatus();
    return true;
}

void Watcher::scheduleWork()
{
    if (m_workScheduled || m_finished)
        return;
    m_workScheduled = true;
    QMetaObject::invokeMethod(this, &Watcher::doWork, Qt::QueuedConnection);
}

void Watcher::stop()
{
    m_stopping = true;
    scheduleWork();
}

void Watcher::doWork()
{
    m_workScheduled = false;
    if (m_finished)
        return;
    if (m_stopping) {
        finish();
        return;
    }
    // Short of space, nothing is added until space returns (m_spaceTimer).
    if (m_shortOfSpace)
        return;
    const auto sliceEnd = Clock::now() + kSlice;
    // Saves whose quiet period is over come first: someone may be waiting for them.
    bool staged = false;
    while (Clock::now() < sliceEnd && !m_shortOfSpace) {
        const std::vector<std::string> due = m_quiet.takeDue(Clock::now(), kStep);
        if (due.empty())
            break;
        for (const std::string& path : due)
            saveFile(path);
        staged = true;
    }
    if (staged)
        afterBatch(commit());
    while (!m_scans.empty() && Clock::now() < sliceEnd && !m_shortOfSpace) {
        Scan& scan = m_scans.front();
        if (!scan.toWalk.empty())
            walkStep(scan);
        else if (scan.nextFolder < scan.walked.size())
            stageStep(scan);
        else
            finishScan();
    }
    if (m_shortOfSpace) {
        // What is staged was counted against the floor already.
        afterBatch(commit());
        statusChanged();
        return;
    }
    // Compaction takes what is left of a slice that saves and scans left
    // free, and keeps the work scheduled until it is done.
    if (m_compactionPending && m_scans.empty() && Clock::now() < sliceEnd)
        compactionSlice(sliceEnd);
    const auto earliest = m_quiet.earliest();
    if (!m_scans.empty() || m_compactionPending || (earliest && *earliest <= Clock::now()))
        scheduleWork();
    armQuietTimer();
    statusChanged();
}

void Watcher::armQuietTimer()
{
    const auto earliest = m_quiet.earliest();
    if (!earliest || m_finished || m_shortOfSpace) {
        m_quietTimer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*earliest - Clock::now());
    m_quietTimer.start(static_cast<int>(std::max<std::int64_t>(0, wait.count())));
}

void Watcher::finish()
{
    m_finished = true;
    m_quietTimer.stop();
    m_statusTimer.stop();
    m_thinningTimer.stop();
    m_missingTimer.stop();
    m_overLimitTimer.stop();
    m_spaceTimer.stop();
    m_mountNotifier.reset();
    m_commitFailed = false;
    if (!m_scans.empty() && m_scans.front().scanMode)
        m_saves->endScan();
    commit();
    m_scans.clear();
    writeStatus();
    qCInfo(lcWatch, "stopped");
    emit finished(m_commitFailed ? 1 : 0);
}

} // namespace strataloom
