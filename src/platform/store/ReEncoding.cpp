// Re-encoding whole records as deltas against their newer neighbours, a
// document's batch at a time: every new record durable behind one barrier,
// then logged in one write, then switched in one transaction, then the old
// files unlinked.
#include "ReEncoding.h"
#include "CanonicalContents.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "Nanoseconds.h"
#include "RecordFiles.h"
#include "StoreLock.h"
#include "VerifiedCopy.h"
#include "VersionContents.h"
#include "records/RecordCodec.h"

#include <algorithm>

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

} // namespace

void ReEncoding::reached(Step step)
{
    if (hook())
        hook()(step);
}

// The new record's `R` line, then the `X` that moves every name of the
// older one to it: what a rebuild needs to find the record as it was made.
void ReEncoding::logMade(const Made& one, DocumentLog& log)
{
    const StoredRecord& record = one.record;
    log.recordRecord({record.name, record.kind, record.kind == RecordKind::Delta ? one.newerName : std::string(),
                      record.size, record.checksum, record.packed ? record.packed->size() : record.file->size,
                      record.packed, record.canonicalZip});
    log.recordSwitch({one.older.name, record.name});
}

bool ReEncoding::reEncodable(const StoredRecord& record)
{
    return (record.kind == RecordKind::Whole && record.file)
        || (record.kind == RecordKind::Compressed && record.isPacked() && record.storedBytes > 1);
}

void setReEncodingHookForTests(std::function<void(ReEncoding::Step)> newHook)
{
    hook() = std::move(newHook);
}

bool ReEncoding::afterAdd(std::int64_t documentRowId, std::size_t added, std::uint64_t generation,
                          const std::vector<std::string>& tried, std::string* error)
{
    const auto storeLock = holdStoreForWriting(m_index, error);
    if (!storeLock)
        return false;
    if (m_index.generation() != generation)
        return true;
    StoredRecords records(m_index);
    std::string holderId;
    {
        auto query = m_index.statement(kDocumentId);
        if (!query.valid())
            return fail(error, "cannot read the version index: " + m_index.database().lastError());
        if (query->bind(1, documentRowId).step() == SQLITE_ROW)
            holderId = query->blob(0);
    }
    const auto folderPath = m_index.layout().documentFolder(holderId);
    if (!folderPath)
        return true;
    const UniqueFd documents(m_index.layout().openDocumentsFolder());
    if (!documents.valid())
        return fail(error, errnoMessage("cannot open the folder " + m_index.layout().documentsFolder()));
    // Only a record file needs the folder, and a record to re-encode into one
    // has a file there already.
    const UniqueFd folder(openat(documents.get(), holderId.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid() && errno != ENOENT)
        return fail(error, errnoMessage("cannot open the folder " + *folderPath));
    std::optional<DocumentLog> log = DocumentLog::open(documents.get(), holderId, error);
    if (!log)
        return false;

    // Read under the log's lock, newest first: another writer may have
    // re-encoded some already.
    std::vector<std::int64_t> newest;
    {
        auto query = m_index.statement(kNewestRecords);
        if (!query.valid())
            return fail(error, "cannot read the version index: " + m_index.database().lastError());
        query->bind(1, documentRowId).bind(2, static_cast<std::int64_t>(added + 1));
        while (query->step() == SQLITE_ROW)
            newest.push_back(query->isNull(0) ? 0 : query->integer(0));
    }
    std::vector<Made> made;
    int newerDepth = -1; // the depth the newer record will have, once known
    for (std::size_t step = 1; step < newest.size(); ++step) {
        const std::int64_t olderId = newest[step], newerId = newest[step - 1];
        const auto newer = newerId ? records.byId(newerId) : std::nullopt;
        if (newerDepth < 0 && newer)
            newerDepth = newer->height;
        const auto older = olderId && olderId != newerId ? records.byId(olderId) : std::nullopt;
        if (!older || !newer || !reEncodable(*older) || older->holder != documentRowId
            || std::binary_search(tried.begin(), tried.end(), older->name)
            || std::any_of(made.begin(), made.end(), [&](const Made& one) { return one.older.rowId == olderId; })) {
            newerDepth = older ? older->height : -1;
            continue;
        }
        const bool deltaAllowed = newerDepth + 1 + StoredRecords(m_index).longestWalkAbove(olderId) <= kMaxChain;
        auto one = encode(*older, *newer, deltaAllowed, folder.get(), error);
        if (!one)
            return false;
        if (!*one) {
            newerDepth = 0;
            continue;
        }
        newerDepth = (*one)->record.kind == RecordKind::Delta ? newerDepth + 1 : 0;
        made.push_back(std::move(**one));
    }
    return made.empty() || commit(made, folder.get(), *folderPath, *log, error);
}

std::optional<ReEncoding::Outcome> ReEncoding::reEncode(const StoredRecord& older, const StoredRecord& newer,
                                                        DocumentLog& log, std::string* error)
{
    const auto folderPath = m_index.layout().documentFolder(older.holderId);
    const UniqueFd folder(folderPath ? open(folderPath->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
    if (!folder.valid() && (!folderPath || errno != ENOENT)) {
        fail(error, errnoMessage("cannot open the folder " + folderPath.value_or(older.holderId)));
        return std::nullopt;
    }
    const bool deltaAllowed = newer.height + 1 + StoredRecords(m_index).longestWalkAbove(older.rowId) <= kMaxChain;
    auto one = encode(older, newer, deltaAllowed, folder.get(), error);
    if (!one)
        return std::nullopt;
    if (!*one)
        return Outcome::LeftWhole;
    const RecordKind kind = (*one)->record.kind;
    std::vector<Made> made;
    made.push_back(std::move(**one));
    if (!commit(made, folder.get(), *folderPath, log, error))
        return std::nullopt;
    return kind == RecordKind::Delta ? Outcome::Delta : Outcome::Compressed;
}

std::optional<std::optional<ReEncoding::Made>> ReEncoding::encode(const StoredRecord& older, const StoredRecord& newer,
                                                                  bool deltaAllowed, int folder, std::string* error)
{
    if (older.size > kDeltaLimit || !reEncodable(older))
        return std::optional<Made>();
    // A newer version that went back to earlier contents names a delta made
    // against `older`: a delta the other way would close a loop no reader
    // gets out of.
    if (deltaAllowed) {
        const auto chain = StoredRecords(m_index).chain(newer);
        deltaAllowed = chain && std::none_of(chain->begin(), chain->end(), [&](const StoredRecord& link) {
                           return link.rowId == older.rowId;
                       });
    }
    // Small contents packed at add time become a delta only when it is shorter.
    const bool packed = older.isPacked();
    VersionContents contents(m_index);
    UniqueFd olderFile = contents.open(older, error);
    if (!olderFile.valid())
        return std::nullopt;
    const ContentsFile olderContents{olderFile.get(), older.size, older.checksum};

    // A delta pays below kDeltaPaysPercent of the contents, and may make no
    // reader's chain longer than kMaxChain; else compression may pay. An
    // archive is kept as its canonical form where one rebuilds it.
    Made one;
    UniqueFd newerFile;
    std::optional<DeltaBase> base;
    if (deltaAllowed && newer.size <= kDeltaLimit) {
        newerFile = contents.open(newer, error);
        if (!newerFile.valid())
            return std::nullopt;
        base = DeltaBase{newer.name, {newerFile.get(), newer.size, newer.checksum}};
    }
    const std::uint64_t pays = older.size * kDeltaPaysPercent / 100;
    // Small contents packed at add time become a delta only when it is shorter.
    const std::uint64_t deltaMax = packed ? std::min(pays, older.storedBytes - 1) : pays;
    const std::uint64_t compressedMax = older.size * kCompressionPaysPercent / 100;
    auto form = packed ? std::optional<std::optional<FormEncoding>>(std::in_place)
                       : encodeAsForm(olderContents, base ? &*base : nullptr, deltaMax, compressedMax, error);
    if (!form)
        return std::nullopt;
    std::optional<EncodedRecord> result;
    std::string bytes;
    if (*form) {
        one.record.canonicalZip = true;
        one.record.kind = (*form)->kind == EncodedKind::Delta ? RecordKind::Delta : RecordKind::Compressed;
        bytes = std::move((*form)->bytes);
    } else {
        // A whole record is first sampled, which spares contents that do
        // not shrink (photos, video, encrypted files) both full tries. Ones
        // whose start shrinks against the newer version are compressed in
        // full when the delta does not pay: their start (a pdf's fonts, say)
        // may not shrink alone while the rest does.
        const bool related = base && (packed || mayShrink(olderContents, &*base));
        if (related) {
            result = encodeRecord(olderContents, &*base, bytes, {.maxLength = deltaMax}, error);
            one.record.kind = RecordKind::Delta;
        }
        if (packed && (!base || (result && !result->length)))
            return std::optional<Made>();
        if (!result || !result->length) {
            if (!packed && !related && !mayShrink(olderContents, nullptr))
                return std::optional<Made>();
            bytes.clear();
            result = encodeRecord(olderContents, nullptr, bytes, {.maxLength = compressedMax}, error);
            one.record.kind = RecordKind::Compressed;
        }
        if (!result)
            return std::nullopt;
        if (!result->length)
            return std::optional<Made>();
    }

    one.older = older;
    one.newerId = newer.rowId;
    one.newerName = newer.name;
    one.record.holder = older.holder;
    one.record.holderId = older.holderId;
    if (one.record.kind == RecordKind::Delta)
        one.record.base = newer.rowId;
    one.record.size = older.size;
    one.record.checksum = older.checksum;
    if (bytes.size() <= kPackedLimit) {
        one.record.name = randomId();
        one.record.storedBytes = bytes.size();
        one.record.packed = std::move(bytes);
        return std::optional<Made>(std::move(one));
    }
    one.file = createRecordFile(folder, one.record.name, error);
    struct stat status {};
    if (!one.file.valid())
        return std::nullopt;
    if (!writeAll(one.file.get(), bytes) || fstat(one.file.get(), &status) != 0) {
        unlinkat(folder, one.record.name.c_str(), 0);
        fail(error, errnoMessage("cannot write a record in the version store"));
        return std::nullopt;
    }
    // The fingerprint once its data is durable does not change: syncing
    // leaves the times alone.
    one.record.file = RecordFile{static_cast<std::uint64_t>(status.st_size), static_cast<std::uint64_t>(status.st_ino),
                                 nanoseconds(status.st_ctim)};
    one.record.storedBytes = allocatedBytes(status);
    return std::optional<Made>(std::move(one));
}

bool ReEncoding::switchOne(const Made& one, StoredRecords& records, std::string* error)
{
    const auto still = records.byId(one.older.rowId);
    std::optional<std::int64_t> madeId;
    return still && still->kind == one.older.kind && still->isPacked() == one.older.isPacked()
        && still->name == one.older.name && (madeId = records.insert(one.record, error))
        && records.switchReferences(one.older.rowId, *madeId, error) && records.remove(one.older.rowId, error);
}

bool ReEncoding::commit(std::vector<Made>& made, int folder, const std::string& folderPath, DocumentLog& log,
                        std::string* error)
{
    const auto dropNewFiles = [&] {
        for (const Made& one : made)
            if (one.file.valid())
                unlinkat(folder, one.record.name.c_str(), 0);
    };
    // The new records durable, with their names; packed ones are in memory
    // until the log holds them, so a batch of only those has nothing to sync.
    DurableBatch durable;
    for (const Made& one : made) {
        if (!one.file.valid())
            continue;
        if (!durable.addFile(one.file.get(), error)) {
            dropNewFiles();
            return false;
        }
        durable.addFolder(folderPath);
    }
    if (!durable.flush(error)) {
        dropNewFiles();
        return false;
    }
    reached(Step::RecordWritten);

    // Logged, each record before its switch, in one write made durable. A
    // rebuild ignores a switch whose record it cannot find.
    for (const Made& one : made)
        logMade(one, log);
    if (!log.write(error) || !syncFile(log.fd(), error)) {
        dropNewFiles();
        return false;
    }
    reached(Step::RecordLogged);

    // Switched in one transaction, oldest first so that each new delta's base
    // follows its own switch; only while every older record is still the
    // whole one read.
    StoredRecords records(m_index);
    if (!m_index.beginWriting()) {
        dropNewFiles();
        return fail(error, "cannot write the version index: " + m_index.database().lastError());
    }
    bool switched = true;
    for (std::size_t i = made.size(); switched && i-- > 0;)
        switched = switchOne(made[i], records, error);
    if (!switched || !m_index.commit()) {
        m_index.rollback();
        dropNewFiles();
        return fail(error, error && !error->empty() ? *error : "a record changed while it was re-encoded");
    }
    reached(Step::IndexSwitched);

    for (Made& one : made) {
        one.file.reset();
        if (!one.older.isPacked())
            unlinkat(folder, one.older.name.c_str(), 0);
    }
    reached(Step::OldFileUnlinked);
    return true;
}

} // namespace strataloom::store
