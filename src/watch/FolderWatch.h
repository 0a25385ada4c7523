#pragma once

#include <QObject>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

class QSocketNotifier;

// Watches folders with inotify: the folders themselves, not their files, since
// editors replace files. Reports saves (a file written and closed, or moved
// in), folders that appear, and keeps its map of watches right as folders are
// renamed, moved away or deleted. Paths are bytes throughout.
namespace strataloom::watch {

class FolderWatch : public QObject {
    Q_OBJECT

public:
    enum class Added { Added, Known, LimitReached, Failed };

    explicit FolderWatch(QObject* parent = nullptr);
    ~FolderWatch() override;

    // Opens the inotify descriptor; false, with the reason, when the system
    // refuses one.
    bool open(std::string* error = nullptr);

    // Watches the folder at `path` (not its sub-folders). LimitReached when
    // the user's inotify watches are used up; Failed, with the reason, when
    // the folder cannot be watched (gone, not a folder, not readable).
    Added watch(const std::string& path, std::string* error = nullptr);
    // Stops watching `path` and every folder under it.
    void unwatchTree(const std::string& path);
    bool isWatched(const std::string& path) const { return m_byPath.count(path) != 0; }
    // The watched folders whose path now leads to another folder, or to none:
    // covered or uncovered by a mount, or replaced unseen.
    std::vector<std::string> replacedFolders() const;
    std::size_t count() const { return m_byPath.size(); }

signals:
    // A file was written and closed, or moved into a watched folder.
    void fileSaved(const std::string& path);
    // A folder was made in, or moved into, a watched folder; it is not watched yet.
    void folderAppeared(const std::string& path);
    // A watched folder was renamed within what is watched; its watches now go by `to`.
    void folderMoved(const std::string& from, const std::string& to);
    // A watched folder was deleted or moved where nothing is watched; its watches are gone.
    void folderLost(const std::string& path);
    // The kernel's queue overflowed: events were lost.
    void overflowed();

private:
    struct Watched {
        std::string path;
        dev_t device;
        ino_t inode;
    };

    void readEvents();
    void handle(int wd, std::uint32_t mask, std::uint32_t cookie, const std::string& name);
    void forget(int wd);
    void renameTree(const std::string& from, const std::string& to);
    // The watches of `path` and of every folder under it.
    std::vector<int> treeOf(const std::string& path) const;

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unordered_map<int, Watched> m_byWd;
    std::map<std::string, int> m_byPath;
    // Folders moved from a watched folder, by cookie, until their other half
    // is read.
    std::unordered_map<std::uint32_t, std::string> m_movedFrom;
};

} // namespace strataloom::watch
