// Durability in batches: start write-back early, wait once, sync each folder
// once; the same order git's batched fsync mode uses.
#include "DurableBatch.h"
#include "ErrorMessage.h"

#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

bool syncFile(int fd, std::string* error)
{
    if (fdatasync(fd) == 0)
        return true;
    return fail(error, errnoMessage("cannot write " + pathOfDescriptor(fd) + " to disk"));
}

bool syncFolder(const std::string& path, std::string* error)
{
    UniqueFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid() && fsync(folder.get()) == 0)
        return true;
    return fail(error, errnoMessage("cannot write the folder " + path + " to disk"));
}

bool DurableBatch::addFile(int fd, std::string* error, bool synced)
{
    // Only starts the write-back, which flush() waits for, so that writing a
    // file overlaps what comes next. A small file of a batch that one sync of
    // its file system serves is left to that sync, which writes such files
    // out together rather than as a request each.
    struct stat status {};
    if (!synced && (!m_manyFiles || (fstat(fd, &status) == 0 && status.st_size >= kWriteBackEarlyFrom)))
        sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    if (m_manyFiles)
        return true;
    UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy.valid())
        return fail(error, errnoMessage("cannot keep " + pathOfDescriptor(fd) + " open"));
    m_files.push_back({std::move(copy), synced});
    if (m_files.size() > kSyncEachUpTo) {
        // From here one sync of the whole file system serves the batch.
        m_files.resize(1);
        m_manyFiles = true;
    }
    return true;
}

void DurableBatch::addFolder(const std::string& path)
{
    m_folders.insert(path);
}

bool DurableBatch::flush(std::string* error)
{
    std::string failure;
    bool synced = true;
    if (!m_manyFiles && m_files.empty() && m_folders.size() > kSyncEachUpTo) {
        // Many folders alone (removals) are also cheaper as one sync.
        UniqueFd folder(open(m_folders.begin()->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.valid()) {
            m_files.push_back({std::move(folder)});
            m_manyFiles = true;
        }
    }
    if (m_manyFiles) {
        // Writes back and commits everything on the file system, folders
        // included, with one cache flush: what `sync -f` does.
        if (syncfs(m_files.front().fd.get()) != 0) {
            failure =
                errnoMessage("cannot write the files of " + pathOfDescriptor(m_files.front().fd.get()) + " to disk");
            synced = false;
        }
    } else {
        for (const File& file : m_files)
            synced = synced && (file.synced || syncFile(file.fd.get(), &failure));
        for (const std::string& folder : m_folders)
            synced = synced && syncFolder(folder, &failure);
    }
    clear();
    return synced ? true : fail(error, failure);
}

void DurableBatch::clear()
{
    m_files.clear();
    m_folders.clear();
    m_manyFiles = false;
}

} // namespace strataloom
