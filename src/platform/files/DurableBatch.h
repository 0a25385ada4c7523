#pragma once

#include "FileDescriptor.h"

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace strataloom {

// Makes files, and the folder entries that name them, survive a power cut or a
// kernel crash, paying for the barrier once per batch rather than once per
// file: each file's write-back starts as soon as it is handed over. A few files
// are then synced one by one with their folders; more, or more folders, are
// made durable by one sync of their file system (a batch's files and folders
// are on one), which costs what `sync -f` costs and spares a cache flush per
// file.
class DurableBatch {
public:
    // Up to this many files are synced one by one, keeping a descriptor each.
    static constexpr std::size_t kSyncEachUpTo = 8;
    // Beyond them, files from this size on have their write-back started as
    // they are handed over.
    static constexpr long kWriteBackEarlyFrom = 1024 * 1024;

    DurableBatch() = default;
    DurableBatch(const DurableBatch&) = delete;
    DurableBatch& operator=(const DurableBatch&) = delete;

    // A regular file whose contents were just written; `synced` when they
    // are on stable storage already, so that the file only counts toward
    // the batch's size (a second fdatasync is not free: XFS flushes the
    // disk's cache again).
    bool addFile(int fd, std::string* error = nullptr, bool synced = false);
    // Whether the next file added will be synced on its own, so that syncing
    // it sooner costs no more than the batch would.
    bool syncsEachFile() const { return !m_manyFiles && m_files.size() < kSyncEachUpTo; }
    // A folder in which entries were created, renamed or removed.
    void addFolder(const std::string& path);
    // Waits until every file's data and every folder's entries are on stable
    // storage. The batch is empty afterwards, also on failure.
    bool flush(std::string* error = nullptr);
    // Forgets everything added, for files that were removed instead.
    void clear();

private:
    struct File {
        UniqueFd fd;
        bool synced = false;
    };

    std::vector<File> m_files;
    std::set<std::string> m_folders;
    bool m_manyFiles = false;
};

// One file, or one folder's entries, durable now.
bool syncFile(int fd, std::string* error = nullptr);
bool syncFolder(const std::string& path, std::string* error = nullptr);

} // namespace strataloom
