#include "FileVersion.h"
#include "ContentHash.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "ReadingSession.h"
#include "StoreIndex.h"
#include "StoreLayout.h"
#include "StoredRecords.h"
#include "VersionContents.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

using namespace store;

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
    , m_storedAt(StoredAt{std::move(storeLocation), documentId, file, file, documentId, 0, fingerprint.size})
    , m_fingerprint(std::move(fingerprint))
    , m_dates(dates)
    , m_automatic(automatic)
    , m_pinned(pinned)
{
}

void FileVersion::setRecord(std::string name, std::string holder, int kind, std::uint64_t storedBytes)
{
    if (!m_storedAt)
        return;
    m_storedAt->record = std::move(name);
    m_storedAt->recordHolder = std::move(holder);
    m_storedAt->recordKind = kind;
    m_storedAt->storedBytes = storedBytes;
}

bool FileVersion::isWhole() const
{
    return m_storedAt->recordKind == static_cast<int>(RecordKind::Whole);
}

std::optional<StoredRecord> FileVersion::record(StoreIndex& index, std::string* why) const
{
    if (index.openForReading(why) != StoreIndex::State::Ready) {
        fail(why, "cannot read the version index of " + m_storedAt->location);
        return std::nullopt;
    }
    return StoredRecords(index).byName(m_storedAt->record, why);
}

// An add, compaction or thinning running meanwhile may re-encode or re-base a
// version's record, or a record below it, under another name and unlink the
// old file, after a list named it or while its chain was being read: a read
// that failed is tried once more from the record and chain the index gives
// the version now.
std::optional<StoredRecord> FileVersion::currentRecord(StoreIndex& index, std::string* why) const
{
    if (index.openForReading(why) != StoreIndex::State::Ready)
        return std::nullopt;
    return StoredRecords(index).ofVersion(m_storedAt->documentId, m_storedAt->file, why);
}

UniqueFd FileVersion::openContents(std::string* why) const
{
    return openContents(nullptr, why);
}

UniqueFd FileVersion::openContents(ReadingSession& session, std::string* why) const
{
    return openContents(&session, why);
}

UniqueFd FileVersion::openContents(ReadingSession* session, std::string* why) const
{
    if (!m_storedAt)
        return UniqueFd(open(m_url.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const StoreLayout layout(m_storedAt->location);
    if (isWhole()) {
        UniqueFd file(layout.openStoredFile(m_storedAt->recordHolder, m_storedAt->record));
        if (file.valid() || errno != ENOENT)
            return file;
    }
    std::optional<StoreIndex> own;
    StoreIndex& index = session ? session->index(m_storedAt->location) : own.emplace(layout);
    UniqueFd contents;
    if (!isWhole()) {
        const auto record = this->record(index, why);
        if (record)
            contents = VersionContents(index, session).open(*record, why);
    }
    if (!contents.valid()) {
        const auto now = currentRecord(index, why);
        if (now)
            contents = VersionContents(index, session).open(*now, why);
    }
    if (!contents.valid())
        errno = EIO;
    return contents;
}

bool FileVersion::hasLocalContents(std::string* why) const
{
    return hasLocalContents(nullptr, why);
}

bool FileVersion::hasLocalContents(ReadingSession& session, std::string* why) const
{
    return hasLocalContents(&session, why);
}

bool FileVersion::hasLocalContents(ReadingSession* session, std::string* why) const
{
    struct stat status {};
    if (!m_fingerprint)
        return lstat(m_url.path().c_str(), &status) == 0;
    if (isWhole() && holdsWholeContents())
        return true;
    std::optional<StoreIndex> own;
    StoreIndex& index = session ? session->index(m_storedAt->location) : own.emplace(StoreLayout(m_storedAt->location));
    if (!isWhole()) {
        const auto record = this->record(index, why);
        if (record && VersionContents(index, session).isLocal(*record, why))
            return true;
    }
    const auto now = currentRecord(index, why);
    return now && VersionContents(index, session).isLocal(*now, why);
}

// Whether the stored file the version was listed with holds its contents.
bool FileVersion::holdsWholeContents() const
{
    struct stat status {};
    const UniqueFd file(StoreLayout(m_storedAt->location).openStoredFile(m_storedAt->recordHolder, m_storedAt->record));
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
