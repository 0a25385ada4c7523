#include "FileVersion.h"
#include "ContentHash.h"
#include "FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

namespace {

std::int64_t changeTimeNs(const struct stat& status)
{
    return static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1'000'000'000 + status.st_ctim.tv_nsec;
}

} // namespace

FileVersion::FileVersion(FileUrl url)
    : m_url(std::move(url))
    , m_dates(readDates(m_url.path()))
{
}

FileVersion::FileVersion(FileUrl url, StoredFingerprint fingerprint, FileDates dates)
    : m_url(std::move(url))
    , m_fingerprint(std::move(fingerprint))
    , m_dates(dates)
{
}

bool FileVersion::hasLocalContents() const
{
    struct stat status {};
    if (!m_fingerprint)
        return lstat(m_url.path().c_str(), &status) == 0;

    UniqueFd file(open(m_url.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    if (static_cast<std::uint64_t>(status.st_size) != m_fingerprint->size)
        return false;
    if (static_cast<std::uint64_t>(status.st_ino) == m_fingerprint->inode
        && changeTimeNs(status) == m_fingerprint->changeTimeNs)
        return true;
    // Restored from a backup or touched since: only the contents can tell.
    const std::optional<std::string> hash = checksumOfFile(file.get());
    return hash && *hash == m_fingerprint->checksum;
}

std::optional<std::uint64_t> FileVersion::size() const
{
    if (m_fingerprint)
        return m_fingerprint->size;
    struct stat status {};
    if (lstat(m_url.path().c_str(), &status) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

} // namespace strataloom
