// Reading a version's contents through its chain of records.
#include "VersionContents.h"
#include "ContentHash.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "records/RecordCodec.h"

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

std::string damaged(const StoredRecord& record, const std::string& why)
{
    return "the stored record " + record.name + " (of document " + record.holderId + ") is damaged: " + why;
}

bool rewind(int fd)
{
    return lseek(fd, 0, SEEK_SET) == 0;
}

} // namespace

UniqueFd VersionContents::openRecordFile(const StoredRecord& record, std::string* error)
{
    UniqueFd file(m_index.layout().openStoredFile(record.holderId, record.name));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        fail(error, damaged(record, file.valid() ? "it is not a regular file" : errnoMessage("cannot open it")));
        return UniqueFd();
    }
    return file;
}

UniqueFd VersionContents::open(const StoredRecord& record, std::string* error)
{
    if (record.kind == RecordKind::Whole && !record.isPacked())
        return openRecordFile(record, error);
    StoredRecords records(m_index);
    const auto chain = records.chain(record, error);
    if (!chain)
        return UniqueFd();
    // From the bottom up: each step's result is the next one's base.
    UniqueFd base;
    for (std::size_t step = chain->size(); step-- > 0;) {
        const StoredRecord* link = &(*chain)[step];
        if (link->kind == RecordKind::Whole) {
            base = openRecordFile(*link, error);
            if (!base.valid())
                return UniqueFd();
            continue;
        }
        UniqueFd out(m_index.layout().openUnnamedTemporaryFile(error));
        if (!out.valid())
            return UniqueFd();
        RecordExpectations expected;
        expected.size = link->size;
        expected.checksum = link->checksum;
        if (link->kind == RecordKind::Delta)
            expected.baseChecksum = (*chain)[step + 1].checksum;
        std::string why;
        std::optional<RecordHeader> header;
        if (link->isPacked()) {
            header = decodeRecord(*link->packed, base.valid() ? base.get() : -1, out.get(), expected, &why);
        } else {
            UniqueFd bytes = openRecordFile(*link, error);
            if (!bytes.valid())
                return UniqueFd();
            header = decodeRecord(bytes.get(), base.valid() ? base.get() : -1, out.get(), expected, &why);
        }
        if (!header || !rewind(out.get())) {
            fail(error, damaged(*link, why.empty() ? errnoMessage("cannot read it") : why));
            return UniqueFd();
        }
        base = std::move(out);
    }
    if (!rewind(base.get())) {
        fail(error, errnoMessage("cannot read a materialised version"));
        return UniqueFd();
    }
    return base;
}

bool VersionContents::isPresent(const StoredRecord& record, std::string* error)
{
    // A record's header says what it holds, without decoding it.
    const auto holdsRecorded = [&](const std::optional<RecordHeader>& header, const std::string& why) {
        if (!header)
            return fail(error, damaged(record, why));
        return (header->size == record.size && header->checksum == record.checksum)
            || fail(error, damaged(record, "it holds other contents than recorded"));
    };
    std::string why;
    if (record.isPacked())
        return holdsRecorded(readRecordHeader(*record.packed, &why), why);
    UniqueFd file = openRecordFile(record, error);
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0)
        return false;
    const RecordFile& recorded = *record.file;
    if (static_cast<std::uint64_t>(status.st_size) != recorded.size)
        return fail(error, damaged(record, "its length is not the recorded one"));
    if (static_cast<std::uint64_t>(status.st_ino) == recorded.inode
        && nanoseconds(status.st_ctim) == recorded.changeTimeNs)
        return true;
    // Restored from a backup or touched since: only the contents can tell.
    if (record.kind == RecordKind::Whole) {
        const auto checksum = checksumOfFile(file.get());
        return (checksum && *checksum == record.checksum) || fail(error, damaged(record, "its contents changed"));
    }
    return holdsRecorded(readRecordHeader(file.get(), &why), why);
}

bool VersionContents::isLocal(const StoredRecord& record, std::string* error)
{
    if (record.kind == RecordKind::Whole)
        return isPresent(record, error);
    StoredRecords records(m_index);
    const auto chain = records.chain(record, error);
    if (!chain)
        return false;
    for (const StoredRecord& link : *chain)
        if (!isPresent(link, error))
            return false;
    return true;
}

} // namespace strataloom::store
