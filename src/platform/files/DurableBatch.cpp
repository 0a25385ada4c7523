// Durability in batches: start write-back early, wait once, sync each folder
// once; the same order git's batched fsync mode uses.
#include "DurableBatch.h"
#include "ErrorMessage.h"

#include <climits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace strataloom {

namespace {

// A journalled ext4 and XFS commit one journal for the whole file system, and
// the commit flushes the device's cache: once every file's data has been
// written, one file's sync makes all of their sizes and blocks durable.
// Elsewhere (ext4 without a journal, btrfs, which logs each file on its own)
// each file is synced.
bool sharesOneJournal(int fd)
{
    constexpr long kExt4 = 0xEF53;
    constexpr long kXfs = 0x58465342;
    struct statfs fileSystem {};
    struct stat status {};
    if (fstatfs(fd, &fileSystem) != 0 || fstat(fd, &status) != 0)
        return false;
    if (fileSystem.f_type == kXfs)
        return true;
    if (fileSystem.f_type != kExt4)
        return false;
    // The kernel lists each journal it runs as <device>-<journal inode>.
    char link[PATH_MAX];
    const std::string device =
        "/sys/dev/block/" + std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
    const ssize_t length = readlink(device.c_str(), link, sizeof link - 1);
    if (length <= 0)
        return false;
    const std::string target(link, static_cast<std::size_t>(length));
    const std::string name = target.substr(target.find_last_of('/') + 1);
    struct stat journal {};
    return stat(("/proc/fs/jbd2/" + name + "-8").c_str(), &journal) == 0;
}

} // namespace

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

bool DurableBatch::addFile(int fd, std::string* error)
{
    UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy.valid())
        return fail(error, errnoMessage("cannot keep " + pathOfDescriptor(fd) + " open"));
    // Only starts the write-back; flush() waits for it.
    sync_file_range(copy.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    m_files.push_back(std::move(copy));
    if (m_files.size() >= kMaximumOpenFiles && !syncFiles(nullptr))
        return fail(error, m_failure);
    return true;
}

void DurableBatch::addFolder(const std::string& path)
{
    m_folders.insert(path);
}

bool DurableBatch::syncFiles(std::string* error)
{
    if (m_files.empty())
        return m_failed ? fail(error, m_failure) : true;
    const bool oneSyncForAll = sharesOneJournal(m_files.front().get());
    for (std::size_t i = 0; i < m_files.size() && !m_failed; ++i) {
        const int fd = m_files[i].get();
        const bool last = i + 1 == m_files.size();
        if (oneSyncForAll && !last) {
            // Waits for the write-back started when the file was added.
            if (sync_file_range(fd, 0, 0,
                                SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER)
                != 0) {
                m_failed = true;
                m_failure = errnoMessage("cannot write " + pathOfDescriptor(fd) + " to disk");
            }
        } else if (!syncFile(fd, &m_failure)) {
            m_failed = true;
        }
    }
    m_files.clear();
    return m_failed ? fail(error, m_failure) : true;
}

bool DurableBatch::flush(std::string* error)
{
    syncFiles(nullptr);
    for (const std::string& folder : m_folders)
        if (!m_failed && !syncFolder(folder, &m_failure))
            m_failed = true;
    m_folders.clear();
    const bool failed = m_failed;
    m_failed = false;
    return failed ? fail(error, std::exchange(m_failure, {})) : true;
}

void DurableBatch::clear()
{
    m_files.clear();
    m_folders.clear();
    m_failed = false;
    m_failure.clear();
}

} // namespace strataloom
