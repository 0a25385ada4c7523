// Materialised records shared by the reads of one operation.
#include "ReadingSession.h"
#include "StoreIndex.h"
#include "StoreLayout.h"
#include "StoredRecords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// A record's key names its contents too: a record of the same name that the
// index now records as other contents is another record.
std::string keyOf(const std::string& location, const StoredRecord& record)
{
    return location + '\0' + record.holderId + '\0' + record.name + '\0' + std::to_string(record.size) + '\0'
         + record.checksum;
}

UniqueFd duplicate(int fd)
{
    return UniqueFd(fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

std::uint64_t bytesOnDisk(int fd)
{
    struct stat status {};
    return fd >= 0 && fstat(fd, &status) == 0 ? static_cast<std::uint64_t>(status.st_blocks) * 512 : 0;
}

} // namespace

ReadingSession::ReadingSession(std::uint64_t maxBytes, std::size_t maxRecords)
    : m_maxBytes(maxBytes)
    , m_maxRecords(maxRecords)
{
}

ReadingSession::~ReadingSession() = default;

StoreIndex& ReadingSession::index(const std::string& location)
{
    auto& index = m_indexes[location];
    if (!index)
        index = std::make_unique<StoreIndex>(StoreLayout(location));
    return *index;
}

bool ReadingSession::recall(const std::string& location, const StoredRecord& record, UniqueFd& contents, UniqueFd& form)
{
    const auto found = m_byKey.find(keyOf(location, record));
    if (found == m_byKey.end())
        return false;
    m_kept.splice(m_kept.begin(), m_kept, found->second);
    const Kept& kept = found->second->second;
    if (!kept.contents.valid() && !kept.form.valid())
        return false;
    UniqueFd ownContents = duplicate(kept.contents.get());
    UniqueFd ownForm = duplicate(kept.form.get());
    // Duplicates share their offset with what is kept: every reader of them
    // starts from the beginning.
    const auto fromStart = [](const UniqueFd& fd) { return !fd.valid() || lseek(fd.get(), 0, SEEK_SET) == 0; };
    if (ownContents.valid() != kept.contents.valid() || ownForm.valid() != kept.form.valid() || !fromStart(ownContents)
        || !fromStart(ownForm))
        return false;
    contents = std::move(ownContents);
    form = std::move(ownForm);
    return true;
}

void ReadingSession::keep(const std::string& location, const StoredRecord& record, int contents, int form)
{
    if (contents < 0 && form < 0)
        return;
    const std::string key = keyOf(location, record);
    auto found = m_byKey.find(key);
    if (found == m_byKey.end()) {
        m_kept.emplace_front(key, Kept());
        found = m_byKey.emplace(key, m_kept.begin()).first;
    } else {
        m_kept.splice(m_kept.begin(), m_kept, found->second);
    }
    Kept& kept = found->second->second;
    if (!kept.contents.valid())
        kept.contents = duplicate(contents);
    if (!kept.form.valid())
        kept.form = duplicate(form);
    m_bytes -= kept.bytes;
    kept.bytes = bytesOnDisk(kept.contents.get()) + bytesOnDisk(kept.form.get());
    m_bytes += kept.bytes;
    trim();
}

bool ReadingSession::isKept(const std::string& location, const StoredRecord& record) const
{
    return m_byKey.count(keyOf(location, record)) != 0;
}

void ReadingSession::forget(const std::string& location, const StoredRecord& record)
{
    const auto found = m_byKey.find(keyOf(location, record));
    if (found == m_byKey.end())
        return;
    m_bytes -= found->second->second.bytes;
    m_kept.erase(found->second);
    m_byKey.erase(found);
}

void ReadingSession::trim()
{
    while (!m_kept.empty() && (m_bytes > m_maxBytes || m_kept.size() > m_maxRecords)) {
        m_bytes -= m_kept.back().second.bytes;
        m_byKey.erase(m_kept.back().first);
        m_kept.pop_back();
    }
}

std::optional<std::size_t> ReadingSession::presentChain(const std::string& location, const StoredRecord& record) const
{
    const auto found = m_present.find(keyOf(location, record));
    return found == m_present.end() ? std::nullopt : std::optional(found->second);
}

void ReadingSession::markPresent(const std::string& location, const StoredRecord& record, std::size_t chainLength)
{
    m_present[keyOf(location, record)] = chainLength;
}

} // namespace strataloom::store
