// The add pipeline's commit steps for one document: its staged versions
// logged, recorded in the index with their records, then let go; see AddBatch.
#include "DocumentLog.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "ReEncoding.h"
#include "StoredRecords.h"
#include "VersionAdder.h"

#include <fcntl.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

constexpr const char* kInsertVersion =
    "INSERT INTO versions (document, position, file, size, inode, change_time_ns, checksum, modification_s, "
    "modification_ns, creation_s, creation_ns, added_ns, automatic, seen_modification_ns, seen_change_time_ns, record) "
    "VALUES (?1, (SELECT COALESCE(MAX(position), -1) + 1 FROM versions WHERE document = ?1), ?2, ?3, ?4, ?5, ?6, ?7, "
    "?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)";
constexpr const char* kSelectAnyVersion = "SELECT 1 FROM versions WHERE document = ? LIMIT 1";
constexpr const char* kSelectLoggedVersions =
    "SELECT file, size, checksum, modification_s, modification_ns, creation_s, creation_ns, added_ns, automatic, "
    "pinned FROM versions WHERE document = ? ORDER BY position";

} // namespace

bool VersionAdder::logStaged(std::string* error)
{
    if (m_staged.empty())
        return true;
    if (!settlePending(nullptr, error) || !openDocumentFolder(false, error))
        return false;
    m_log = DocumentLog::open(m_documents.get(), m_document.uuid, error);
    if (!m_log)
        return false;
    prepareReEncoding();
    // Folders need a sync only where the batch put a name that the index will
    // follow: a kept copy or a re-encoding's file in the document's folder
    // (whose own name is in documents/, made by this add or an earlier one
    // that may have failed), or the log in documents/ until an add of the
    // document has committed, which synced it first. A version that shares
    // stored contents or is packed only appends to the log; a copy dropped
    // was never recorded, and its name coming back after a power cut is a
    // leftover like any dead add's.
    bool named = (m_reEncoded && m_reEncoded->file.valid());
    for (const Staged& staged : m_staged)
        named = named || staged.file.valid();
    if (named || m_log->isNew() || !hasCommittedVersions())
        m_durable.addFolder(m_index.layout().documentsFolder());
    if (!logBatch(*m_log, error) || !m_durable.addFile(m_log->fd(), error))
        return false;
    if (named && m_folder.valid())
        m_durable.addFolder(m_folderPath);
    return true;
}

// Unknown counts as none, which only costs a sync.
bool VersionAdder::hasCommittedVersions()
{
    auto query = m_index.statement(kSelectAnyVersion);
    return query.valid() && query->bind(1, m_document.rowId).step() == SQLITE_ROW;
}

// Read under the log's lock, which orders it with every other re-encoding of
// the document. A failure only leaves the re-encoding to the caller.
void VersionAdder::prepareReEncoding()
{
    m_reEncoded.reset();
    m_reEncodedWithAdd = false;
    if (m_staged.size() != 1)
        return;
    const Staged& staged = m_staged.front();
    StoredRecord newer;
    if (staged.shared)
        newer = *staged.shared;
    else {
        newer.name = staged.name;
        newer.holder = m_document.rowId;
        newer.holderId = m_document.uuid;
        newer.size = staged.fingerprint.size;
        newer.checksum = staged.fingerprint.checksum;
        if (staged.packed) {
            newer.kind = RecordKind::Compressed;
            newer.packed = staged.packed;
            newer.storedBytes = staged.packed->size();
        } else {
            newer.file = RecordFile{staged.fingerprint.size, staged.fingerprint.inode, staged.fingerprint.changeTimeNs};
        }
    }
    auto prepared = ReEncoding(m_index).prepareForAdd(m_document.rowId, newer, m_folder.get());
    if (!prepared)
        return;
    m_reEncodedWithAdd = true;
    if (*prepared)
        m_reEncoded = std::move(**prepared);
}

std::optional<std::int64_t> VersionAdder::insertOwnRecord(StoredRecords& records, const Staged& staged,
                                                          std::optional<std::int64_t> base, std::string* error)
{
    StoredRecord record;
    record.name = staged.name;
    record.holder = m_document.rowId;
    record.size = staged.fingerprint.size;
    record.checksum = staged.fingerprint.checksum;
    record.storedBytes = staged.storedBytes;
    record.kind = staged.kind;
    if (staged.kind == RecordKind::Delta)
        record.base = base;
    if (staged.packed)
        record.packed = staged.packed;
    else
        record.file = RecordFile{staged.kind == RecordKind::Whole ? staged.fingerprint.size : staged.encodedLength,
                                 staged.fingerprint.inode, staged.fingerprint.changeTimeNs};
    return records.insert(record, error);
}

bool VersionAdder::recordStaged(std::string* error)
{
    if (m_staged.empty())
        return true;
    if (m_index.generation() != m_generation)
        return fail(error, "the version index was replaced (by 'strataloom-cli check --repair') while versions of "
                               + m_item.path + " were being added; add them again");
    if (!recordLocation(m_index, m_document, m_item))
        return fail(error, "cannot record the document's new path: " + m_index.database().lastError());
    StoredRecords records(m_index);
    // Newest first, so that a staged delta's base is in before it.
    std::vector<std::int64_t> recordIds(m_staged.size());
    for (std::size_t i = m_staged.size(); i-- > 0;) {
        const Staged& staged = m_staged[i];
        std::optional<std::int64_t> recordId;
        if (staged.shared) {
            // Removed since it was compared: the batch fails, and is taken again.
            const auto still = records.byId(staged.shared->rowId);
            if (!still || still->name != staged.shared->name)
                return fail(error, "the stored contents a version of " + m_item.path
                                       + " shares were removed meanwhile; add it again");
            recordId = still->rowId;
        } else
            recordId = insertOwnRecord(records, staged,
                                       i + 1 < m_staged.size() ? std::optional(recordIds[i + 1]) : std::nullopt, error);
        if (!recordId)
            return false;
        recordIds[i] = *recordId;
    }
    if (m_reEncoded)
        m_reEncodedNewerId = recordIds.front();
    for (std::size_t i = 0; i < m_staged.size(); ++i) {
        const Staged& staged = m_staged[i];
        auto insert = m_index.statement(kInsertVersion);
        if (!insert.valid())
            return fail(error, "cannot record the version: " + m_index.database().lastError());
        if (staged.seen)
            insert->bind(13, staged.seen->modificationNs).bind(14, staged.seen->changeTimeNs);
        else
            insert->bindNull(13).bindNull(14);
        if (!insert->bind(1, m_document.rowId)
                 .bindText(2, staged.name)
                 .bind(3, static_cast<std::int64_t>(staged.fingerprint.size))
                 .bind(4, static_cast<std::int64_t>(staged.fingerprint.inode))
                 .bind(5, staged.fingerprint.changeTimeNs)
                 .bindBlob(6, staged.fingerprint.checksum)
                 .bind(7, staged.dates.modification.seconds)
                 .bind(8, staged.dates.modification.nanoseconds)
                 .bind(9, staged.dates.creation.seconds)
                 .bind(10, staged.dates.creation.nanoseconds)
                 .bind(11, staged.addedNs)
                 .bind(12, staged.automatic ? 1 : 0)
                 .bind(15, recordIds[i])
                 .run())
            return fail(error, "cannot record the version: " + m_index.database().lastError());
    }
    return true;
}

void VersionAdder::switchReEncoded()
{
    if (m_reEncoded && !m_staged.empty())
        ReEncoding(m_index).switchPrepared(*m_reEncoded, m_reEncodedNewerId, m_folder.get());
}

void VersionAdder::finishCommit()
{
    if (m_staged.empty())
        return;
    m_document.recordedPath = m_item.path;
    m_document.device = m_item.device;
    m_document.inode = m_item.inode;
    if (m_reEncoded)
        ReEncoding::finishPrepared(*m_reEncoded, m_folder.get());
    m_reEncoded.reset();
    // Closing the files releases their locks: they are referenced now.
    m_staged.clear();
    m_log.reset();
    m_committed = true;
    m_storeLock.reset();
}

// Appends the batch to the document's log. A document first stored by a
// release that kept no log gets its earlier versions logged first.
bool VersionAdder::logBatch(DocumentLog& log, std::string* error)
{
    const bool moved = m_document.recordedPath != m_item.path || m_document.device != m_item.device
                    || m_document.inode != m_item.inode;
    if (log.isNew()) {
        log.recordCreation(nowNs());
        auto query = m_index.statement(kSelectLoggedVersions);
        if (!query.valid())
            return fail(error, "cannot read the version index: " + m_index.database().lastError());
        query->bind(1, m_document.rowId);
        int result;
        while ((result = query->step()) == SQLITE_ROW) {
            LoggedVersion version;
            version.file = query->blob(0);
            version.size = static_cast<std::uint64_t>(query->integer(1));
            version.checksum = query->blob(2);
            version.dates.modification = FileTime{query->integer(3), static_cast<std::uint32_t>(query->integer(4))};
            version.dates.creation = FileTime{query->integer(5), static_cast<std::uint32_t>(query->integer(6))};
            version.addedNs = query->integer(7);
            version.automatic = query->integer(8) != 0;
            log.recordVersion(version);
            if (query->integer(9) != 0)
                log.recordPinned(version.file, true);
        }
        if (result != SQLITE_DONE)
            return fail(error, "cannot read the version index: " + m_index.database().lastError());
    }
    if (log.isNew() || moved)
        log.recordLocation({m_item.path, m_item.device, m_item.inode});
    const std::int64_t added = nowNs();
    for (std::size_t i = 0; i < m_staged.size(); ++i) {
        Staged& staged = m_staged[i];
        staged.addedNs = added;
        // A record of its own other than a whole file is logged before the
        // version that names it; a delta names the next version's record.
        if (staged.kind == RecordKind::Delta && i + 1 == m_staged.size())
            return fail(error, "cannot log the versions of " + m_item.path
                                   + ": the last one staged is a delta of nothing staged after it");
        if (staged.kind != RecordKind::Whole)
            log.recordRecord(
                {staged.name, staged.kind, staged.kind == RecordKind::Delta ? m_staged[i + 1].name : std::string(),
                 staged.fingerprint.size, staged.fingerprint.checksum, staged.encodedLength, staged.packed});
        log.recordVersion({staged.name,
                           staged.fingerprint.size,
                           staged.fingerprint.checksum,
                           staged.dates,
                           added,
                           staged.automatic,
                           false,
                           {}});
        if (staged.shared)
            log.recordShared(staged.name, staged.shared->name);
    }
    if (m_reEncoded)
        ReEncoding::logPrepared(*m_reEncoded, log);
    return log.write(error);
}

void VersionAdder::discardStaged()
{
    for (const Staged& staged : m_staged)
        if (staged.file.valid() && !staged.unnamed)
            unlinkat(m_folder.get(), staged.name.c_str(), 0);
    if (m_reEncoded)
        ReEncoding::dropPrepared(*m_reEncoded, m_folder.get());
    m_reEncoded.reset();
    m_reEncodedWithAdd = false;
    m_staged.clear();
    m_log.reset();
    m_storeLock.reset();
}

} // namespace strataloom::store
