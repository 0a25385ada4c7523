// The records table: look-ups, inserts, and switching the versions and
// records that name one record to another.
#include "StoredRecords.h"
#include "ErrorMessage.h"

namespace strataloom::store {

namespace {

#define RECORD_COLUMNS                                                                                                 \
    "records.id, records.name, records.holder, documents.uuid, records.kind, records.base, records.height, "           \
    "records.size, records.checksum, records.stored_bytes, records.file_size, records.inode, "                         \
    "records.change_time_ns, records.packed FROM records JOIN documents ON documents.id = records.holder "

constexpr const char* kById = "SELECT " RECORD_COLUMNS "WHERE records.id = ?";
constexpr const char* kByName = "SELECT " RECORD_COLUMNS "WHERE records.name = ?";
constexpr const char* kWithContents =
    "SELECT " RECORD_COLUMNS "WHERE records.checksum = ? AND records.size = ? ORDER BY records.height, records.kind";

#undef RECORD_COLUMNS

constexpr const char* kVersionRecord =
    "SELECT versions.record, versions.size, versions.checksum, versions.inode, versions.change_time_ns, "
    "documents.uuid FROM versions JOIN documents ON documents.id = versions.document WHERE versions.document = ? AND "
    "versions.file = ?";
constexpr const char* kDocumentRow = "SELECT id FROM documents WHERE uuid = ?";
constexpr const char* kIsNamed = "SELECT EXISTS (SELECT 1 FROM versions WHERE record = ?1) OR EXISTS (SELECT 1 FROM "
                                 "records WHERE base = ?1)";
constexpr const char* kLongestWalkAbove =
    "WITH RECURSIVE above(id, steps) AS (SELECT id, 1 FROM records WHERE base = ?1 UNION ALL SELECT records.id, "
    "above.steps + 1 FROM records JOIN above ON records.base = above.id WHERE above.steps <= ?2) SELECT "
    "COALESCE(MAX(steps), 0) FROM above";
constexpr const char* kInsert =
    "INSERT INTO records (name, holder, kind, base, height, size, checksum, stored_bytes, file_size, inode, "
    "change_time_ns, packed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kSwitchVersions = "UPDATE versions SET record = ?2 WHERE record = ?1";
constexpr const char* kSwitchBases = "UPDATE records SET base = ?2 WHERE base = ?1";
// A delta's height is its base's plus one; the walk stops at any cycle a
// damaged index could hold, since no chain may be longer than kMaxChain.
constexpr const char* kUpdateHeights =
    "WITH RECURSIVE above(id, height) AS (SELECT id, (SELECT height FROM records WHERE id = ?1) + 1 FROM records "
    "WHERE base = ?1 AND kind & 15 = 1 UNION ALL SELECT records.id, above.height + 1 FROM records JOIN above ON "
    "records.base = above.id WHERE records.kind & 15 = 1 AND above.height <= 1000) "
    "UPDATE records SET height = (SELECT MAX(height) FROM above WHERE above.id = records.id) WHERE id IN (SELECT id "
    "FROM above)";
constexpr const char* kRemove = "DELETE FROM records WHERE id = ?";

std::optional<StoredRecord> recordFrom(SqliteStatement& row)
{
    StoredRecord record;
    record.rowId = row.integer(0);
    record.name = row.blob(1);
    record.holder = row.integer(2);
    record.holderId = row.blob(3);
    const auto kind = recordKindOf(row.integer(4));
    if (!kind || !isId(record.name) || !isId(record.holderId) || row.integer(6) < 0 || row.integer(7) < 0
        || row.integer(9) < 0)
        return std::nullopt;
    record.kind = *kind;
    record.canonicalZip = isCanonicalZipKind(row.integer(4));
    if (!row.isNull(5))
        record.base = row.integer(5);
    record.height = static_cast<int>(row.integer(6));
    record.size = static_cast<std::uint64_t>(row.integer(7));
    record.checksum = row.blob(8);
    record.storedBytes = static_cast<std::uint64_t>(row.integer(9));
    if (!row.isNull(13))
        record.packed = row.blob(13);
    else if (!row.isNull(10) && !row.isNull(11) && !row.isNull(12))
        record.file = RecordFile{static_cast<std::uint64_t>(row.integer(10)),
                                 static_cast<std::uint64_t>(row.integer(11)), row.integer(12)};
    // A delta names its base; a whole record is a file.
    if ((record.kind == RecordKind::Delta) != record.base.has_value()
        || (record.kind == RecordKind::Whole && !record.file))
        return std::nullopt;
    return record;
}

std::string indexError(StoreIndex& index)
{
    return "cannot read the version index: " + index.database().lastError();
}

} // namespace

std::optional<StoredRecord> StoredRecords::one(const char* sql, const std::function<void(SqliteStatement&)>& bind,
                                               std::string* error)
{
    auto records = many(sql, bind, error);
    if (!records)
        return std::nullopt;
    if (records->empty()) {
        fail(error, "the version index has no such record");
        return std::nullopt;
    }
    return std::move(records->front());
}

std::optional<std::vector<StoredRecord>>
StoredRecords::many(const char* sql, const std::function<void(SqliteStatement&)>& bind, std::string* error)
{
    auto query = m_index.statement(sql);
    if (!query.valid()) {
        fail(error, indexError(m_index));
        return std::nullopt;
    }
    bind(*query);
    std::vector<StoredRecord> records;
    int result;
    while ((result = query->step()) == SQLITE_ROW) {
        auto record = recordFrom(*query);
        if (!record) {
            fail(error, "the version index holds a malformed record (row " + std::to_string(query->integer(0)) + ")");
            return std::nullopt;
        }
        records.push_back(std::move(*record));
    }
    if (result != SQLITE_DONE) {
        fail(error, indexError(m_index));
        return std::nullopt;
    }
    return records;
}

std::optional<StoredRecord> StoredRecords::byId(std::int64_t rowId, std::string* error)
{
    return one(
        kById, [&](SqliteStatement& query) { query.bind(1, rowId); }, error);
}

std::optional<StoredRecord> StoredRecords::byName(const std::string& name, std::string* error)
{
    return one(
        kByName, [&](SqliteStatement& query) { query.bindText(1, name); }, error);
}

std::optional<std::vector<StoredRecord>> StoredRecords::withContents(const std::string& checksum, std::uint64_t size,
                                                                     std::string* error)
{
    return many(
        kWithContents,
        [&](SqliteStatement& query) { query.bindBlob(1, checksum).bind(2, static_cast<std::int64_t>(size)); }, error);
}

std::optional<StoredRecord> StoredRecords::ofVersion(std::int64_t documentRowId, const std::string& file,
                                                     std::string* error)
{
    StoredRecord whole;
    std::optional<std::int64_t> recordId;
    {
        auto query = m_index.statement(kVersionRecord);
        if (!query.valid()) {
            fail(error, indexError(m_index));
            return std::nullopt;
        }
        query->bind(1, documentRowId).bindText(2, file);
        const int result = query->step();
        if (result != SQLITE_ROW) {
            fail(error, result == SQLITE_DONE ? "the version " + file + " is no longer in the version index"
                                              : indexError(m_index));
            return std::nullopt;
        }
        if (!query->isNull(0))
            recordId = query->integer(0);
        whole.name = file;
        whole.holder = documentRowId;
        whole.size = static_cast<std::uint64_t>(query->integer(1));
        whole.checksum = query->blob(2);
        whole.storedBytes = whole.size;
        whole.file = RecordFile{whole.size, static_cast<std::uint64_t>(query->integer(3)), query->integer(4)};
        whole.holderId = query->blob(5);
    }
    if (recordId)
        return byId(*recordId, error);
    if (!isId(whole.name) || !isId(whole.holderId)) {
        fail(error, "the version index holds a malformed version name");
        return std::nullopt;
    }
    return whole;
}

std::optional<std::vector<StoredRecord>>
StoredRecords::chain(const StoredRecord& record, std::string* error,
                     const std::function<bool(const StoredRecord&, std::size_t)>& until)
{
    std::vector<StoredRecord> links;
    if (until && until(record, 0))
        return links;
    links.push_back(record);
    while (links.back().kind == RecordKind::Delta) {
        if (links.size() > static_cast<std::size_t>(kMaxChain)) {
            fail(error, "the record " + record.name + " is at the end of a chain of deltas longer than "
                            + std::to_string(kMaxChain));
            return std::nullopt;
        }
        std::string reason;
        auto base = byId(*links.back().base, &reason);
        if (!base) {
            fail(error, "the base of the record " + links.back().name + " cannot be found: " + reason);
            return std::nullopt;
        }
        if (until && until(*base, links.size()))
            break;
        links.push_back(std::move(*base));
    }
    return links;
}

std::optional<StoredRecord> StoredRecords::ofVersion(const std::string& documentId, const std::string& file,
                                                     std::string* error)
{
    std::int64_t rowId = 0;
    {
        auto query = m_index.statement(kDocumentRow);
        if (!query.valid()) {
            fail(error, indexError(m_index));
            return std::nullopt;
        }
        const int result = query->bindText(1, documentId).step();
        if (result != SQLITE_ROW) {
            fail(error, result == SQLITE_DONE ? "the document " + documentId + " is no longer in the version index"
                                              : indexError(m_index));
            return std::nullopt;
        }
        rowId = query->integer(0);
    }
    return ofVersion(rowId, file, error);
}

std::optional<bool> StoredRecords::isNamed(std::int64_t rowId, std::string* error)
{
    auto query = m_index.statement(kIsNamed);
    if (!query.valid() || query->bind(1, rowId).step() != SQLITE_ROW) {
        fail(error, indexError(m_index));
        return std::nullopt;
    }
    return query->integer(0) != 0;
}

std::int64_t StoredRecords::longestWalkAbove(std::int64_t rowId)
{
    auto query = m_index.statement(kLongestWalkAbove);
    if (!query.valid() || query->bind(1, rowId).bind(2, kMaxChain).step() != SQLITE_ROW)
        return kMaxChain + 1;
    return query->integer(0);
}

std::optional<std::int64_t> StoredRecords::insert(const StoredRecord& record, std::string* error)
{
    int height = 0;
    if (record.kind == RecordKind::Delta) {
        if (!record.base) {
            fail(error, "a delta record needs a base");
            return std::nullopt;
        }
        auto base = byId(*record.base, error);
        if (!base)
            return std::nullopt;
        height = base->height + 1;
    }
    auto insert = m_index.statement(kInsert);
    if (!insert.valid()) {
        fail(error, "cannot record contents in the version index: " + m_index.database().lastError());
        return std::nullopt;
    }
    insert->bindText(1, record.name).bind(2, record.holder).bind(3, recordKindNumber(record.kind, record.canonicalZip));
    if (record.base)
        insert->bind(4, *record.base);
    else
        insert->bindNull(4);
    insert->bind(5, height)
        .bind(6, static_cast<std::int64_t>(record.size))
        .bindBlob(7, record.checksum)
        .bind(8, static_cast<std::int64_t>(record.storedBytes));
    if (record.file)
        insert->bind(9, static_cast<std::int64_t>(record.file->size))
            .bind(10, static_cast<std::int64_t>(record.file->inode))
            .bind(11, record.file->changeTimeNs);
    else
        insert->bindNull(9).bindNull(10).bindNull(11);
    if (record.packed)
        insert->bindBlob(12, *record.packed);
    else
        insert->bindNull(12);
    if (!insert->run()) {
        fail(error, "cannot record contents in the version index: " + m_index.database().lastError());
        return std::nullopt;
    }
    return sqlite3_last_insert_rowid(m_index.database().handle());
}

bool StoredRecords::switchReferences(std::int64_t oldId, std::int64_t newId, std::string* error)
{
    for (const char* sql : {kSwitchVersions, kSwitchBases}) {
        auto update = m_index.statement(sql);
        if (!update.valid() || !update->bind(1, oldId).bind(2, newId).run())
            return fail(error, "cannot switch a record in the version index: " + m_index.database().lastError());
    }
    return updateHeightsAbove(newId, error);
}

bool StoredRecords::updateHeightsAbove(std::int64_t rowId, std::string* error)
{
    auto update = m_index.statement(kUpdateHeights);
    if (!update.valid() || !update->bind(1, rowId).run())
        return fail(error, "cannot update the version index: " + m_index.database().lastError());
    return true;
}

bool StoredRecords::remove(std::int64_t rowId, std::string* error)
{
    auto remove = m_index.statement(kRemove);
    if (!remove.valid() || !remove->bind(1, rowId).run())
        return fail(error, "cannot remove a record from the version index: " + m_index.database().lastError());
    return true;
}

} // namespace strataloom::store
