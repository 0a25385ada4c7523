#include "FolderWatch.h"

#include "ErrorMessage.h"
#include "WatchPaths.h"

#include <QSocketNotifier>

#include <cerrno>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::watch {

namespace {

// Saves, folders coming and going, and renames (both halves, to follow a
// folder renamed inside what is watched). Links are not followed, and events
// of files already unlinked are not wanted.
constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF
                              | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

FolderWatch::FolderWatch(QObject* parent)
    : QObject(parent)
{
}

FolderWatch::~FolderWatch()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FolderWatch::open(std::string* error)
{
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return fail(error, errnoMessage("cannot watch folders (inotify)"));
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &FolderWatch::readEvents);
    return true;
}

FolderWatch::Added FolderWatch::watch(const std::string& path, std::string* error)
{
    const int wd = inotify_add_watch(m_fd, path.c_str(), kMask);
    if (wd < 0) {
        if (errno == ENOSPC)
            return Added::LimitReached;
        fail(error, errnoMessage("cannot watch " + path));
        return Added::Failed;
    }
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        status = {};
    if (const auto known = m_byWd.find(wd); known != m_byWd.end()) {
        if (known->second.path == path)
            return Added::Known;
        // The same folder under a new name, its rename not read yet.
        renameTree(known->second.path, path);
        return Added::Known;
    }
    // A folder that took the place of one whose removal is not read yet.
    if (const auto taken = m_byPath.find(path); taken != m_byPath.end())
        m_byWd.erase(taken->second);
    m_byWd[wd] = {path, status.st_dev, status.st_ino};
    m_byPath[path] = wd;
    return Added::Added;
}

std::vector<std::string> FolderWatch::replacedFolders() const
{
    std::vector<std::string> replaced;
    for (const auto& [wd, watched] : m_byWd) {
        struct stat status {};
        if (lstat(watched.path.c_str(), &status) != 0 || status.st_dev != watched.device
            || status.st_ino != watched.inode)
            replaced.push_back(watched.path);
    }
    return replaced;
}

std::vector<int> FolderWatch::treeOf(const std::string& path) const
{
    std::vector<int> watches;
    if (const auto self = m_byPath.find(path); self != m_byPath.end())
        watches.push_back(self->second);
    const std::string prefix = path == "/" ? path : path + "/";
    for (auto it = m_byPath.lower_bound(prefix); it != m_byPath.end() && startsWith(it->first, prefix); ++it)
        if (it->first != path)
            watches.push_back(it->second);
    return watches;
}

void FolderWatch::unwatchTree(const std::string& path)
{
    for (const int wd : treeOf(path)) {
        inotify_rm_watch(m_fd, wd);
        forget(wd);
    }
}

void FolderWatch::forget(int wd)
{
    const auto found = m_byWd.find(wd);
    if (found == m_byWd.end())
        return;
    if (const auto byPath = m_byPath.find(found->second.path); byPath != m_byPath.end() && byPath->second == wd)
        m_byPath.erase(byPath);
    m_byWd.erase(found);
}

void FolderWatch::renameTree(const std::string& from, const std::string& to)
{
    for (const int wd : treeOf(from)) {
        Watched& watched = m_byWd.at(wd);
        m_byPath.erase(watched.path);
        watched.path = to + watched.path.substr(from.size());
        m_byPath[watched.path] = wd;
    }
}

void FolderWatch::readEvents()
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            break;
        for (const char* at = buffer; at < buffer + length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            handle(event->wd, event->mask, event->cookie, event->len ? std::string(event->name) : std::string());
            at += sizeof(inotify_event) + event->len;
        }
    }
    // The kernel queues both halves of a rename at once: a folder whose other
    // half has not come left what is watched, and its own MOVE_SELF says so.
    m_movedFrom.clear();
}

void FolderWatch::handle(int wd, std::uint32_t mask, std::uint32_t cookie, const std::string& name)
{
    if (mask & IN_Q_OVERFLOW) {
        emit overflowed();
        return;
    }
    const auto found = m_byWd.find(wd);
    if (found == m_byWd.end())
        return;
    if (mask & IN_IGNORED) {
        forget(wd);
        return;
    }
    const Watched folder = found->second;
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        struct stat status {};
        // A rename inside what is watched was followed before this arrives.
        if ((mask & IN_MOVE_SELF) && lstat(folder.path.c_str(), &status) == 0 && status.st_dev == folder.device
            && status.st_ino == folder.inode)
            return;
        unwatchTree(folder.path);
        emit folderLost(folder.path);
        return;
    }
    const std::string path = childPath(folder.path, name);
    if (!(mask & IN_ISDIR)) {
        if (mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
            emit fileSaved(path);
        return;
    }
    if (mask & IN_MOVED_FROM) {
        m_movedFrom[cookie] = path;
        return;
    }
    if (mask & IN_MOVED_TO) {
        if (const auto from = m_movedFrom.find(cookie); from != m_movedFrom.end()) {
            const std::string old = from->second;
            m_movedFrom.erase(from);
            if (isWatched(old)) {
                renameTree(old, path);
                emit folderMoved(old, path);
                return;
            }
        }
    }
    if (mask & (IN_MOVED_TO | IN_CREATE))
        emit folderAppeared(path);
}

} // namespace strataloom::watch
