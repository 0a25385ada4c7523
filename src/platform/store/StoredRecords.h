#pragma once

#include "StoreIndex.h"
#include "StoreLayout.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The records table's one access module: a record holds contents that one or
// more versions name (identical contents are stored once), as a whole stored
// file, a delta against its base record or a compressed frame, in a file of
// its holder's folder or packed in the index. The table is in docs/STORE.md.
// Writes run inside the caller's write transaction, so that a switch and the
// rows it follows from commit together.
namespace strataloom::store {

// The fingerprint of a record's stored file once it was put in place, by
// which a reader trusts it without reading it.
struct RecordFile {
    std::uint64_t size = 0;
    std::uint64_t inode = 0;
    std::int64_t changeTimeNs = 0;
};

struct StoredRecord {
    std::int64_t rowId = 0;
    std::string name; // 32 hex: its file's name in its holder's folder unless packed
    std::int64_t holder = 0; // documents.id
    std::string holderId; // the holder's document id (32 hex)
    RecordKind kind = RecordKind::Whole;
    // A delta or compressed record whose frame holds a zip archive's
    // canonical form: its contents are the archive rebuilt.
    bool canonicalZip = false;
    std::optional<std::int64_t> base; // records.id of a delta's base
    int height = 0; // deltas walked to reach a record that is not one
    std::uint64_t size = 0; // the contents it holds: size and XXH3-128 (raw)
    std::string checksum;
    std::uint64_t storedBytes = 0; // what it takes: allocated bytes or packed length
    std::optional<RecordFile> file; // empty when packed
    std::optional<std::string> packed; // the record's bytes when packed

    bool isPacked() const { return packed.has_value(); }
};

class StoredRecords {
public:
    explicit StoredRecords(StoreIndex& index)
        : m_index(index)
    {
    }

    // Look-ups, inside the caller's transaction or each its own read. Empty,
    // with `error` set, when there is no such record, the index cannot be
    // read or it holds a malformed record.
    std::optional<StoredRecord> byId(std::int64_t rowId, std::string* error = nullptr);
    std::optional<StoredRecord> byName(const std::string& name, std::string* error = nullptr);
    // The records holding these contents, the shortest to read first.
    std::optional<std::vector<StoredRecord>> withContents(const std::string& checksum, std::uint64_t size,
                                                          std::string* error = nullptr);
    // The record a version names: by its own `record`, else (an index rebuilt
    // without records) the whole stored file of the same name. `documentRowId`
    // and `file` are the version's.
    std::optional<StoredRecord> ofVersion(std::int64_t documentRowId, const std::string& file,
                                          std::string* error = nullptr);
    // The same, for the version `file` of the document `documentId` (32 hex).
    std::optional<StoredRecord> ofVersion(const std::string& documentId, const std::string& file,
                                          std::string* error = nullptr);
    // The chain a reader walks: `record`, then its base, and so on down to
    // the first that is not a delta; empty, with `error` naming the record,
    // when a base is missing or the chain is longer than kMaxChain. With
    // `until`, the walk ends before the first record it accepts, left out;
    // it is given each record and the number of records walked above it.
    std::optional<std::vector<StoredRecord>>
    chain(const StoredRecord& record, std::string* error = nullptr,
          const std::function<bool(const StoredRecord&, std::size_t)>& until = nullptr);
    // Whether any version or any record (as its base) still names the record.
    std::optional<bool> isNamed(std::int64_t rowId, std::string* error = nullptr);
    // The longest walk of deltas that ends at a record: how much deeper its
    // readers' chains go when it becomes a delta itself. Unknown counts as
    // longer than any chain may be, so that nothing is then made a delta.
    std::int64_t longestWalkAbove(std::int64_t rowId);

    // Writes, inside the caller's write transaction. A new record's height
    // is taken from its base; its row id is returned.
    std::optional<std::int64_t> insert(const StoredRecord& record, std::string* error = nullptr);
    // Every version and record that named `oldId` names `newId` instead,
    // and the heights of the records above it follow.
    bool switchReferences(std::int64_t oldId, std::int64_t newId, std::string* error = nullptr);
    // Deletes a record no version or record names any more.
    bool remove(std::int64_t rowId, std::string* error = nullptr);

private:
    std::optional<StoredRecord> one(const char* sql, const std::function<void(SqliteStatement&)>& bind,
                                    std::string* error);
    std::optional<std::vector<StoredRecord>> many(const char* sql, const std::function<void(SqliteStatement&)>& bind,
                                                  std::string* error);
    bool updateHeightsAbove(std::int64_t rowId, std::string* error);

    StoreIndex& m_index;
};

} // namespace strataloom::store
