// Re-basing a record: encoded anew against another base (or none), durable,
// logged, switched in the index, then the old file unlinked.
#include "RecordReBase.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "RecordFiles.h"
#include "StoreLock.h"
#include "StoredRecords.h"
#include "VersionContents.h"
#include "records/RecordCodec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

std::function<void(const char*)>& hook()
{
    static std::function<void(const char*)> instance;
    return instance;
}

void reached(const char* step)
{
    if (hook())
        hook()(step);
}

// The contents as a whole record: copied from their materialised form.
bool copyAll(int from, int to, std::uint64_t size)
{
    loff_t offset = 0;
    while (static_cast<std::uint64_t>(offset) < size) {
        const ssize_t copied = copy_file_range(from, &offset, to, nullptr, static_cast<std::size_t>(size - offset), 0);
        if (copied <= 0)
            return false;
    }
    return true;
}

class ReBase {
public:
    ReBase(StoreIndex& index, std::string* error)
        : m_index(index)
        , m_records(index)
        , m_contents(index)
        , m_error(error)
    {
    }

    bool run(const StoredRecord& record, const std::optional<StoredRecord>& base, int documents, DocumentLog& log)
    {
        // A packed record's holder may have no folder yet.
        UniqueFd folder = openHolderFolder(documents, record.holderId, false);
        const UniqueFd contents = m_contents.open(record, m_error);
        if (!contents.valid())
            return false;
        const ContentsFile source{contents.get(), record.size, record.checksum};
        std::string bytes;
        std::optional<EncodedRecord> encoded;
        RecordKind kind = RecordKind::Delta;
        if (base && record.size <= kDeltaLimit && base->size <= kDeltaLimit
            && base->height + 1 + m_records.longestWalkAbove(record.rowId) <= kMaxChain) {
            const UniqueFd baseContents = m_contents.open(*base, m_error);
            if (!baseContents.valid())
                return false;
            const DeltaBase against{base->name, {baseContents.get(), base->size, base->checksum}};
            encoded =
                encodeRecord(source, &against, bytes, {.maxLength = record.size * kDeltaPaysPercent / 100}, m_error);
            if (!encoded)
                return false;
        }
        if (!encoded || !encoded->length) {
            bytes.clear();
            kind = RecordKind::Compressed;
            encoded = encodeRecord(source, nullptr, bytes, {.maxLength = record.size * kCompressionPaysPercent / 100},
                                   m_error);
            if (!encoded)
                return false;
        }
        StoredRecord made;
        made.holder = record.holder;
        made.holderId = record.holderId;
        made.size = record.size;
        made.checksum = record.checksum;
        if (!encoded->length)
            kind = RecordKind::Whole;
        made.kind = kind;
        if (kind == RecordKind::Delta)
            made.base = base->rowId;

        // Durable first: packed into the log record, or a file of its own.
        UniqueFd file;
        if (kind != RecordKind::Whole && *encoded->length <= kPackedLimit) {
            made.name = randomId();
            made.packed = std::move(bytes);
            made.storedBytes = *encoded->length;
        } else {
            if (!folder.valid())
                folder = openHolderFolder(documents, record.holderId, true, m_error);
            file = folder.valid() ? createRecordFile(folder.get(), made.name, m_error) : UniqueFd();
            if (!file.valid())
                return false;
            struct stat status {};
            const bool written = kind == RecordKind::Whole ? copyAll(contents.get(), file.get(), record.size)
                                                           : writeAll(file.get(), bytes);
            if (!written || !syncFile(file.get(), m_error) || fsync(folder.get()) != 0
                || fstat(file.get(), &status) != 0)
                return abandon(folder.get(), made.name, "cannot write a record in the version store");
            made.file = RecordFile{static_cast<std::uint64_t>(status.st_size),
                                   static_cast<std::uint64_t>(status.st_ino), nanoseconds(status.st_ctim)};
            made.storedBytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
        }
        reached("written");

        // Logged in one write: a switch whose record was lost is ignored by a
        // rebuild.
        log.recordRecord({made.name, kind, kind == RecordKind::Delta ? base->name : std::string(), record.size,
                          record.checksum, made.packed ? made.packed->size() : made.file->size, made.packed});
        log.recordSwitch({record.name, made.name});
        if (!log.write(m_error) || !syncFile(log.fd(), m_error))
            return abandon(folder.get(), made.packed ? std::string() : made.name, {});
        reached("logged");

        // Switched only while the old record is as it was read.
        if (!m_index.beginWriting())
            return fail(m_error, "cannot write the version index: " + m_index.database().lastError());
        const auto still = m_records.byId(record.rowId);
        std::optional<std::int64_t> madeId;
        const bool switched = still && still->name == record.name && still->base == record.base
                           && (madeId = m_records.insert(made, m_error))
                           && m_records.switchReferences(record.rowId, *madeId, m_error)
                           && m_records.remove(record.rowId, m_error) && m_index.commit();
        if (!switched) {
            m_index.rollback();
            if (m_error && m_error->empty())
                *m_error = "the record " + record.name + " changed while it was re-based";
            return abandon(folder.get(), made.packed ? std::string() : made.name, {});
        }
        reached("switched");
        file.reset();
        if (!record.isPacked())
            unlinkat(folder.get(), record.name.c_str(), 0);
        reached("unlinked");
        return true;
    }

private:
    bool abandon(int folder, const std::string& name, const std::string& what)
    {
        if (!name.empty())
            unlinkat(folder, name.c_str(), 0);
        return what.empty() ? false : fail(m_error, errnoMessage(what));
    }

    StoreIndex& m_index;
    StoredRecords m_records;
    VersionContents m_contents;
    std::string* m_error;
};

} // namespace

void setReBaseHookForTests(std::function<void(const char*)> newHook)
{
    hook() = std::move(newHook);
}

bool reBase(StoreIndex& index, std::int64_t recordId, std::optional<std::int64_t> base, std::string* error)
{
    const auto storeLock = holdStoreForWriting(index, error);
    if (!storeLock)
        return false;
    StoredRecords records(index);
    const auto first = records.byId(recordId, error);
    if (!first)
        return false;
    const UniqueFd documents(index.layout().openDocumentsFolder());
    if (!documents.valid())
        return fail(error, errnoMessage("cannot open the folder " + index.layout().documentsFolder()));
    auto log = DocumentLog::open(documents.get(), first->holderId, error);
    if (!log)
        return false;
    // Read again under the log's lock: another writer may have re-encoded it.
    const auto record = records.byId(recordId, error);
    std::optional<StoredRecord> baseRecord;
    if (!record || (base && !(baseRecord = records.byId(*base, error))))
        return false;
    return ReBase(index, error).run(*record, baseRecord, documents.get(), *log);
}

} // namespace strataloom::store
