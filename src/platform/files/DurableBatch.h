#pragma once

#include "FileDescriptor.h"

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace strataloom {

// Makes files, and the folder entries that name them, survive a power cut or a
// kernel crash, paying for the barrier once per batch rather than once per
// file: each file's write-back starts as soon as it is handed over, and
// flush() waits for all of them, then syncs each folder once.
class DurableBatch {
public:
    // At most this many files are kept open; past it the oldest are made
    // durable at once, so a batch of any size needs bounded descriptors.
    static constexpr std::size_t kMaximumOpenFiles = 256;

    DurableBatch() = default;
    DurableBatch(const DurableBatch&) = delete;
    DurableBatch& operator=(const DurableBatch&) = delete;

    // A regular file whose contents were just written; the batch keeps its own
    // descriptor.
    bool addFile(int fd, std::string* error = nullptr);
    // A folder in which entries were created, renamed or removed.
    void addFolder(const std::string& path);
    // Waits until every file's data and every folder's entries are on stable
    // storage. The batch is empty afterwards, also on failure.
    bool flush(std::string* error = nullptr);
    // Forgets everything added, for files that were removed instead.
    void clear();

private:
    bool syncFiles(std::string* error);

    std::vector<UniqueFd> m_files;
    std::set<std::string> m_folders;
    bool m_failed = false;
    std::string m_failure;
};

// One file, or one folder's entries, durable now.
bool syncFile(int fd, std::string* error = nullptr);
bool syncFolder(const std::string& path, std::string* error = nullptr);

} // namespace strataloom
