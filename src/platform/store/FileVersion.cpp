#include "FileVersion.h"
#include "ContentHash.h"
#include "FileDescriptor.h"
#include "StoreLayout.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

using store::StoreLayout;

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

FileVersion::FileVersion(FileUrl url, StoredFingerprint fingerprint, FileDates dates, std::string storeLocation,
                         std::string documentId, std::string file, bool automatic, bool pinned)
    : m_url(std::move(url))
    , m_storedAt(StoredAt{std::move(storeLocation), std::move(documentId), std::move(file)})
    , m_fingerprint(std::move(fingerprint))
    , m_dates(dates)
    , m_automatic(automatic)
    , m_pinned(pinned)
{
}

UniqueFd FileVersion::openContents() const
{
    if (m_storedAt)
        return UniqueFd(StoreLayout(m_storedAt->location).openStoredFile(m_storedAt->documentId, m_storedAt->file));
    return UniqueFd(open(m_url.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

bool FileVersion::hasLocalContents() const
{
    struct stat status {};
    if (!m_fingerprint)
        return lstat(m_url.path().c_str(), &status) == 0;

    UniqueFd file = openContents();
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
