#include "Watcher.h"

#include "AutomaticSaves.h"
#include "ErrorMessage.h"
#include "FileVersionStore.h"
#include "FolderWatch.h"
#include "Names.h"
#include "ProcessSignals.h"
#include "SaveFilter.h"
#include "SystemdNotify.h"
#include "Thinning.h"
#include "WatchSettings.h"
#include "WatchState.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcWatch, "strataloom.watch")

namespace strataloom {

using Clock = watch::QuietPeriod::Clock;
using watch::FolderWatch;
using watch::notifyServiceManager;
using watch::SaveFilter;

namespace {

// How long one slice of work keeps the event loop waiting.
constexpr auto kSlice = std::chrono::milliseconds(50);
// Files looked at, or saves staged, between two looks at the clock.
constexpr std::size_t kStep = 32;
constexpr auto kThinningInterval = std::chrono::hours(24);
// The status file is rewritten at most this often while busy.
constexpr std::int64_t kStatusIntervalMs = 1000;
// How long the service manager waits for readiness from each report of a
// start-up scan's progress, which one large file may hold up for a while.
constexpr const char* kExtendStartTimeout = "EXTEND_TIMEOUT_USEC=120000000";

std::string childPath(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool isWithin(const std::string& path, const std::string& folder)
{
    if (folder == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string nameOf(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// A message for the log and the status, which are text: each byte of a name
// that is not part of valid UTF-8 is written as \xNN.
std::string printable(const std::string& bytes)
{
    if (isValidUtf8(bytes))
        return bytes;
    std::string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
        if (i + length <= bytes.size() && isValidUtf8(std::string_view(bytes).substr(i, length))) {
            text.append(bytes, i, length);
            i += length;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", lead);
            text += escaped;
            ++i;
        }
    }
    return text;
}

enum class EntryKind { Folder, File, Other };

EntryKind kindOf(DIR* folder, const dirent& entry)
{
    switch (entry.d_type) {
    case DT_DIR:
        return EntryKind::Folder;
    case DT_REG:
        return EntryKind::File;
    case DT_UNKNOWN:
        break;
    default:
        return EntryKind::Other;
    }
    struct stat status {};
    if (fstatat(dirfd(folder), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Other;
    return S_ISDIR(status.st_mode) ? EntryKind::Folder : S_ISREG(status.st_mode) ? EntryKind::File : EntryKind::Other;
}

struct FolderCloser {
    void operator()(DIR* folder) const { closedir(folder); }
};
using OpenFolder = std::unique_ptr<DIR, FolderCloser>;

OpenFolder openFolder(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR* folder = fdopendir(fd);
    if (!folder)
        ::close(fd);
    return OpenFolder(folder);
}

std::string inotifyWatchLimit()
{
    std::ifstream limit("/proc/sys/fs/inotify/max_user_watches");
    std::string value;
    return limit >> value ? value : "?";
}

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
    connect(&m_thinningTimer, &QTimer::timeout, this, [this] { thin({}); });
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
    const std::string path = watchLockPath();
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
            return fail(error, "another watcher is already running (it holds " + path + ")");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool Watcher::start(std::string* error)
{
    if (!makeWatchStateFolder(error) || !takeLock(error) || !m_signals->install(error) || !m_folders->open(error))
        return false;
    m_saves = std::make_unique<AutomaticSaves>(FileVersionStore::defaultLocation());
    const WatchSettings settings;
    m_roots = settings.folders();
    m_patterns = settings.excludedPatterns();
    m_filter = std::make_unique<SaveFilter>(SaveFilter::fromSettings());
    watchSettingsFile();

    m_status.pid = getpid();
    m_status.startedMs = nowMs();
    if (m_roots.empty())
        qCInfo(lcWatch, "no folder is watched yet; add one with: strataloom-cli watch add FOLDER");
    queueScan(m_roots, true);
    m_scans.front().startUp = true;
    writeStatus();
    return true;
}

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
    if (!m_options.quietPeriod)
        m_quiet.setLength(settings.quietPeriod());
    m_filter = std::make_unique<SaveFilter>(SaveFilter::fromSettings());
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
    if (isRoot(path))
        problem("the watched folder " + path + " was deleted or moved away: it is no longer watched");
    else if (path == m_configFolder)
        problem("the settings folder " + path + " was removed: changes to the settings take effect on SIGHUP");
    statusChanged();
}

void Watcher::onOverflow()
{
    problem("the kernel dropped events of watched folders: looking at every watched folder again");
    queueScan(m_roots, true);
}

void Watcher::queueScan(std::vector<std::string> folders, bool whole)
{
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
    const auto sliceEnd = Clock::now() + kSlice;
    // Saves whose quiet period is over come first: someone may be waiting for them.
    bool staged = false;
    while (Clock::now() < sliceEnd) {
        const std::vector<std::string> due = m_quiet.takeDue(Clock::now(), kStep);
        if (due.empty())
            break;
        for (const std::string& path : due)
            saveFile(path);
        staged = true;
    }
    if (staged)
        thin(commit());
    while (!m_scans.empty() && Clock::now() < sliceEnd) {
        Scan& scan = m_scans.front();
        if (!scan.toWalk.empty())
            walkStep(scan);
        else if (scan.nextFolder < scan.walked.size())
            stageStep(scan);
        else
            finishScan();
    }
    const auto earliest = m_quiet.earliest();
    if (!m_scans.empty() || (earliest && *earliest <= Clock::now()))
        scheduleWork();
    armQuietTimer();
    statusChanged();
}

bool Watcher::watchFolder(const std::string& path, bool root)
{
    std::string error;
    switch (m_folders->watch(path, &error)) {
    case FolderWatch::Added::Added:
    case FolderWatch::Added::Known:
        return true;
    case FolderWatch::Added::LimitReached:
        if (!m_limitReported) {
            m_limitReported = true;
            m_status.watchLimitReached = true;
            problem("cannot watch every folder: the " + inotifyWatchLimit()
                    + " inotify watches allowed (fs.inotify.max_user_watches) are in use; saves in folders not "
                      "watched are versioned at the next start");
        }
        return true; // its files are still scanned
    case FolderWatch::Added::Failed:
        if ((errno == ENOENT || errno == ENOTDIR) && !root)
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
    if ((!root && !underRoot(folder)) || !watchFolder(folder, root))
        return;
    const OpenFolder entries = openFolder(folder);
    if (!entries) {
        if (errno != ENOENT)
            problem(errnoMessage("cannot read " + folder));
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
    for (std::size_t step = 0; step < kStep && scan.nextEntry < scan.entries.size(); ++step) {
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
    const Scan scan = std::move(m_scans.front());
    m_scans.pop_front();
    if (scan.scanMode)
        m_saves->endScan();
    commit();
    if (scan.startUp) {
        // The whole store is thinned at start and then once a day; a day's
        // timer is the only one left running while nothing happens.
        thin({});
        m_thinningTimer.start(kThinningInterval);
        m_status.ready = true;
        qCInfo(lcWatch, "watching %zu folders (%zu inotify watches)", m_roots.size(), m_folders->count());
        std::string error;
        if (!notifyServiceManager("READY=1\nSTATUS=Watching " + std::to_string(m_roots.size()) + " folders", &error))
            problem(error);
    }
    statusChanged();
}

void Watcher::saveFile(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        return; // gone before its turn: nothing to save
    switch (m_filter->judgeFile(path, status)) {
    case SaveFilter::Verdict::Save:
        break;
    case SaveFilter::Verdict::TooLarge:
        if (m_reportedTooLarge.insert(path).second)
            problem("not versioning " + path + ": it is larger than the limit of "
                    + std::to_string(m_filter->sizeLimit()) + " bytes");
        return;
    default:
        return;
    }
    std::string error;
    if (m_saves->stage(path, &error) == AutomaticSaves::Outcome::Failed && errno != ENOENT)
        problem(error);
    if (m_saves->stagedCount() >= AutomaticSaves::kBatchSize)
        commit();
}

std::vector<std::string> Watcher::commit()
{
    if (m_saves->stagedCount() == 0)
        return {};
    std::vector<std::string> saved;
    std::string error;
    if (!m_saves->commit(&saved, &error)) {
        m_commitFailed = true;
        problem("cannot save versions: " + error);
    }
    const std::int64_t now = nowMs();
    for (const std::string& path : saved) {
        qCInfo(lcWatch, "saved a version of %s", printable(path).c_str());
        m_status.addSave(now, path);
    }
    statusChanged();
    return saved;
}

void Watcher::thin(const std::vector<std::string>& documents)
{
    if (m_finished)
        return;
    ThinningOptions options = thinningOptionsFromSettings(FileVersionStore::defaultLocation());
    options.documentPaths = documents;
    if (options.documentPaths.empty() != documents.empty())
        return;
    std::string error;
    const auto result = thinStore(FileVersionStore::defaultLocation(), options, &error);
    if (!result)
        problem("cannot thin the versions: " + error);
    else if (result->removed > 0)
        qCInfo(lcWatch, "thinned %zu versions (%llu bytes)", result->removed,
               static_cast<unsigned long long>(result->bytesFreed));
    // A pass over the whole store reads every version; what it freed would
    // otherwise stay resident while the watcher idles.
    if (documents.empty())
        malloc_trim(0);
}

void Watcher::finish()
{
    m_finished = true;
    m_quietTimer.stop();
    m_statusTimer.stop();
    m_thinningTimer.stop();
    m_commitFailed = false;
    if (!m_scans.empty() && m_scans.front().scanMode)
        m_saves->endScan();
    commit();
    m_scans.clear();
    writeStatus();
    qCInfo(lcWatch, "stopped");
    emit finished(m_commitFailed ? 1 : 0);
}

void Watcher::problem(const std::string& message)
{
    const std::string text = printable(message);
    qCWarning(lcWatch, "%s", text.c_str());
    m_status.addError(nowMs(), text);
    statusChanged();
}

void Watcher::armQuietTimer()
{
    const auto earliest = m_quiet.earliest();
    if (!earliest || m_finished) {
        m_quietTimer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*earliest - Clock::now());
    m_quietTimer.start(static_cast<int>(std::max<std::int64_t>(0, wait.count())));
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
    m_status.folders = m_roots;
    m_status.watches = m_folders->count();
    m_status.waiting = m_quiet.size();
    m_status.scanDone = m_scans.empty() ? 0 : m_scans.front().done;
    m_status.scanTotal = m_scans.empty() ? 0 : std::max(m_scans.front().total, m_scans.front().done);
    m_statusWrittenMs = nowMs();
    std::string error;
    if (!m_status.write(watchStatusPath(), &error))
        qCWarning(lcWatch, "%s", printable(error).c_str());
    if (m_scans.empty() || m_finished)
        return;
    std::string state = "STATUS=Looking at " + std::to_string(m_status.scanDone) + " of "
                      + std::to_string(m_status.scanTotal) + " files";
    if (!m_status.ready)
        state += std::string("\n") + kExtendStartTimeout;
    notifyServiceManager(state);
}

} // namespace strataloom
