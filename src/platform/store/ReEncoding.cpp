// Re-encoding a whole record as a delta against its newer neighbour.
#include "ReEncoding.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "Nanoseconds.h"
#include "StoreLock.h"
#include "VersionContents.h"
#include "records/RecordCodec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

std::function<void(ReEncoding::Step)>& hook()
{
    static std::function<void(ReEncoding::Step)> instance;
    return instance;
}

void reached(ReEncoding::Step step)
{
    if (hook())
        hook()(step);
}

constexpr const char* kNewestRecords = "SELECT record FROM versions WHERE document = ? ORDER BY position DESC LIMIT ?";
// The longest walk of deltas that ends at a record: how much deeper its
// readers' chains go when it becomes a delta itself.
constexpr const char* kLongestAbove =
    "WITH RECURSIVE above(id, steps) AS (SELECT id, 1 FROM records WHERE base = ?1 UNION ALL SELECT records.id, "
    "above.steps + 1 FROM records JOIN above ON records.base = above.id WHERE above.steps <= 64) SELECT "
    "COALESCE(MAX(steps), 0) FROM above";

// The record's bytes encoded: packed in memory, or in a new locked file of
// the holder's folder.
struct Encoded {
    RecordKind kind = RecordKind::Compressed;
    std::string name;
    std::uint64_t length = 0;
    std::optional<std::string> packed;
    UniqueFd file; // locked until the index names it
    RecordFile fingerprint;
    std::uint64_t storedBytes = 0;
};

UniqueFd createRecordFile(int folder, std::string& name, std::string* error)
{
    for (;;) {
        name = randomId();
        UniqueFd file(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        struct stat status {};
        if (!file.valid() || flock(file.get(), LOCK_EX) != 0 || fstat(file.get(), &status) != 0) {
            fail(error, errnoMessage("cannot create a record in the version store"));
            if (file.valid())
                unlinkat(folder, name.c_str(), 0);
            return UniqueFd();
        }
        // Clean-up took it in the instant before the lock.
        if (status.st_nlink > 0)
            return file;
    }
}

} // namespace

void setReEncodingHookForTests(std::function<void(ReEncoding::Step)> newHook)
{
    hook() = std::move(newHook);
}

bool ReEncoding::afterAdd(std::int64_t documentRowId, std::size_t added, std::uint64_t generation, std::string* error)
{
    const auto storeLock = holdStoreForWriting(m_index, error);
    if (!storeLock)
        return false;
    if (m_index.generation() != generation)
        return true;
    StoredRecords records(m_index);
    std::vector<std::int64_t> newest; // newest first
    {
        auto query = m_index.statement(kNewestRecords);
        if (!query.valid())
            return fail(error, "cannot read the version index: " + m_index.database().lastError());
        query->bind(1, documentRowId).bind(2, static_cast<std::int64_t>(added + 1));
        while (query->step() == SQLITE_ROW)
            newest.push_back(query->isNull(0) ? 0 : query->integer(0));
    }
    for (std::size_t step = newest.size(); step-- > 1;) {
        const std::int64_t olderId = newest[step], newerId = newest[step - 1];
        if (olderId == 0 || newerId == 0 || olderId == newerId)
            continue;
        const auto previous = records.byId(olderId, error);
        if (!previous)
            return false;
        if (previous->kind != RecordKind::Whole || previous->holder != documentRowId)
            continue;
        const auto folderPath = m_index.layout().documentFolder(previous->holderId);
        const UniqueFd folder(open(folderPath->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        std::optional<DocumentLog> log = folder.valid() ? DocumentLog::open(folder.get(), error) : std::nullopt;
        if (!log)
            return fail(error, errnoMessage("cannot open the folder " + *folderPath));
        // Read again under the log's lock: another writer may have re-encoded it.
        const auto older = records.byId(olderId, error);
        const auto newer = records.byId(newerId, error);
        if (!older || !newer)
            return false;
        if (older->kind == RecordKind::Whole && !reEncode(*older, *newer, *log, error))
            return false;
    }
    return true;
}

std::optional<ReEncoding::Outcome> ReEncoding::reEncode(const StoredRecord& older, const StoredRecord& newer,
                                                        DocumentLog& log, std::string* error)
{
    if (older.size > kDeltaLimit || !older.file)
        return Outcome::LeftWhole;
    StoredRecords records(m_index);
    const StoreLayout& layout = m_index.layout();
    const auto folderPath = layout.documentFolder(older.holderId);
    const UniqueFd folder(open(folderPath->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    VersionContents contents(m_index);
    UniqueFd olderFile = contents.open(older, error);
    if (!folder.valid() || !olderFile.valid()) {
        fail(error, errnoMessage("cannot open the folder " + *folderPath));
        return std::nullopt;
    }
    const ContentsFile olderContents{olderFile.get(), older.size, older.checksum};

    // A delta pays below kDeltaPaysPercent of the contents, and may make no
    // reader's chain longer than kMaxChain; else compression may pay.
    Encoded encoded;
    std::optional<EncodedRecord> result;
    std::string bytes;
    std::int64_t above = 0;
    {
        auto query = m_index.statement(kLongestAbove);
        if (query.valid() && query->bind(1, older.rowId).step() == SQLITE_ROW)
            above = query->integer(0);
    }
    if (newer.size <= kDeltaLimit && newer.height + 1 + above <= kMaxChain) {
        UniqueFd newerFile = contents.open(newer, error);
        if (!newerFile.valid())
            return std::nullopt;
        const DeltaBase base{newer.name, {newerFile.get(), newer.size, newer.checksum}};
        result = encodeRecord(olderContents, &base, bytes, {kRecordLevel, older.size * kDeltaPaysPercent / 100}, error);
        encoded.kind = RecordKind::Delta;
    }
    if (!result || !result->length) {
        bytes.clear();
        result = encodeRecord(olderContents, nullptr, bytes, {kRecordLevel, older.size * kCompressionPaysPercent / 100},
                              error);
        encoded.kind = RecordKind::Compressed;
    }
    if (!result)
        return std::nullopt;
    if (!result->length)
        return Outcome::LeftWhole;
    encoded.length = *result->length;

    // Written durably: packed into the log, or a file of its own.
    if (encoded.length <= kPackedLimit) {
        encoded.name = randomId();
        encoded.packed = std::move(bytes);
        encoded.storedBytes = encoded.length;
    } else {
        encoded.file = createRecordFile(folder.get(), encoded.name, error);
        struct stat status {};
        if (!encoded.file.valid())
            return std::nullopt;
        const auto abandon = [&](const std::string& what) -> std::optional<Outcome> {
            unlinkat(folder.get(), encoded.name.c_str(), 0);
            fail(error, errnoMessage(what));
            return std::nullopt;
        };
        std::string_view rest = bytes;
        while (!rest.empty()) {
            const ssize_t written = write(encoded.file.get(), rest.data(), rest.size());
            if (written <= 0)
                return abandon("cannot write a record in the version store");
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
        if (!syncFile(encoded.file.get(), error) || !syncFolder(*folderPath, error)
            || fstat(encoded.file.get(), &status) != 0)
            return abandon("cannot write a record in the version store");
        encoded.fingerprint = {static_cast<std::uint64_t>(status.st_size), static_cast<std::uint64_t>(status.st_ino),
                               nanoseconds(status.st_ctim)};
        encoded.storedBytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
    }
    reached(Step::RecordWritten);

    // Logged: the record, then the switch, in the holder's log. One write: a
    // switch whose record was lost is ignored by a rebuild.
    log.recordRecord({encoded.name, encoded.kind, encoded.kind == RecordKind::Delta ? newer.name : std::string(),
                      older.size, older.checksum, encoded.length, encoded.packed});
    log.recordSwitch({older.name, encoded.name});
    if (!log.write(error) || !syncFile(log.fd(), error)) {
        if (!encoded.packed)
            unlinkat(folder.get(), encoded.name.c_str(), 0);
        return std::nullopt;
    }
    reached(Step::RecordLogged);

    // Switched in the index, in one transaction, only while the older record
    // is still the whole one read.
    StoredRecord made;
    made.name = encoded.name;
    made.holder = older.holder;
    made.kind = encoded.kind;
    if (encoded.kind == RecordKind::Delta)
        made.base = newer.rowId;
    made.size = older.size;
    made.checksum = older.checksum;
    made.storedBytes = encoded.storedBytes;
    if (encoded.packed)
        made.packed = encoded.packed;
    else
        made.file = encoded.fingerprint;
    if (!m_index.beginWriting()) {
        fail(error, "cannot write the version index: " + m_index.database().lastError());
        return std::nullopt;
    }
    const auto still = records.byId(older.rowId);
    std::optional<std::int64_t> madeId;
    const bool switched = still && still->kind == RecordKind::Whole && still->name == older.name
                       && (madeId = records.insert(made, error))
                       && records.switchReferences(older.rowId, *madeId, error) && records.remove(older.rowId, error)
                       && m_index.commit();
    if (!switched) {
        m_index.rollback();
        if (!encoded.packed)
            unlinkat(folder.get(), encoded.name.c_str(), 0);
        if (error && error->empty())
            *error = "the record " + older.name + " changed while it was re-encoded";
        return std::nullopt;
    }
    reached(Step::IndexSwitched);
    encoded.file.reset();
    unlinkat(folder.get(), older.name.c_str(), 0);
    reached(Step::OldFileUnlinked);
    return encoded.kind == RecordKind::Delta ? Outcome::Delta : Outcome::Compressed;
}

} // namespace strataloom::store
