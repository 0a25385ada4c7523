// An added version's contents: shared with an identical stored record.
#include "AddedContents.h"
#include "FileDescriptor.h"
#include "SharedExtents.h"
#include "VersionContents.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace strataloom::store {

namespace {

constexpr const char* kNewestRecord = "SELECT record FROM versions WHERE document = ? ORDER BY position DESC LIMIT 1";

// Reads `length` bytes at `offset`, short only at the end of the file.
bool readAt(int fd, char* buffer, std::size_t length, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Whether both files hold the same `size` bytes, and nothing more.
bool sameBytes(int one, int other, std::uint64_t size, char* buffer, std::size_t bufferSize)
{
    const std::size_t half = bufferSize / 2;
    for (std::uint64_t offset = 0; offset < size;) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(half, size - offset));
        if (!readAt(one, buffer, length, offset) || !readAt(other, buffer + half, length, offset)
            || std::memcmp(buffer, buffer + half, length) != 0)
            return false;
        offset += length;
    }
    char past = 0;
    return pread(other, &past, 1, static_cast<off_t>(size)) == 0;
}

} // namespace

std::optional<StoredRecord> findIdenticalRecord(StoreIndex& index, int copyFd, const std::string& checksum,
                                                std::uint64_t size, char* buffer, std::size_t bufferSize)
{
    const auto candidates = StoredRecords(index).withContents(checksum, size);
    if (!candidates)
        return std::nullopt;
    VersionContents contents(index);
    for (const StoredRecord& candidate : *candidates) {
        const UniqueFd stored = contents.open(candidate);
        if (stored.valid()
            && ((candidate.kind == RecordKind::Whole && sameExtents(copyFd, stored.get()))
                || sameBytes(copyFd, stored.get(), size, buffer, bufferSize)))
            return candidate;
    }
    return std::nullopt;
}

std::optional<StoredRecord> newestWholeRecord(StoreIndex& index, std::int64_t documentRowId, std::uint64_t size)
{
    std::int64_t recordId = 0;
    {
        auto query = index.statement(kNewestRecord);
        if (!query.valid() || query->bind(1, documentRowId).step() != SQLITE_ROW || query->isNull(0))
            return std::nullopt;
        recordId = query->integer(0);
    }
    auto record = StoredRecords(index).byId(recordId);
    if (!record || record->kind != RecordKind::Whole || record->isPacked() || !record->file || record->size != size)
        return std::nullopt;
    return record;
}

} // namespace strataloom::store
