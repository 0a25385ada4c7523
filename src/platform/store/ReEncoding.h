#pragma once

#include "DocumentLog.h"
#include "StoreIndex.h"
#include "StoredRecords.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Older contents become deltas: once a newer version of a document is
// committed, the record of the version before it is re-encoded against the
// newer one's record (or compressed, where a delta does not pay or its chain
// would grow past kMaxChain), crash-safely: the new record durable, then
// logged with the switch (`R`, `X`), then the index switched in one
// transaction, and only then the old file unlinked. docs/STORE.md, "Deltas".
namespace strataloom::store {

class ReEncoding {
public:
    enum class Outcome { Delta, Compressed, LeftWhole };

    explicit ReEncoding(StoreIndex& index)
        : m_index(index)
    {
    }

    // After versions of the document `documentRowId` were committed: each of
    // the `added` newest versions' predecessors is re-encoded against the
    // version after it, oldest first. Holds the store shared and the
    // document's log while it works. Does nothing once the index open under
    // `generation`, which the row id was read under, was replaced by a repair.
    bool afterAdd(std::int64_t documentRowId, std::size_t added, std::uint64_t generation,
                  std::string* error = nullptr);
    // Re-encodes the whole record `older` against `newer`, the routine the
    // adds and compaction share; the caller holds the store and `log`, the
    // log of `older`'s holder, locked. Empty, with `error` set, when it
    // failed part-way: every version still reads as before.
    std::optional<Outcome> reEncode(const StoredRecord& older, const StoredRecord& newer, DocumentLog& log,
                                    std::string* error = nullptr);

    // The steps of reEncode(), after each of which a test may stop the process.
    enum class Step { RecordWritten, RecordLogged, IndexSwitched, OldFileUnlinked };

private:
    struct Made;
    // The longest walk of deltas that ends at a record.
    std::int64_t longestAbove(std::int64_t rowId);
    // `older` encoded against `newer` (a delta only where `deltaAllowed`),
    // into a new file of the holder's folder `folder` or packed; empty inside
    // when it stays whole, empty with `error` set on failure.
    std::optional<std::optional<Made>> encode(const StoredRecord& older, const StoredRecord& newer, bool deltaAllowed,
                                              int folder, std::string* error);
    // Makes the records durable, logs them, switches the index, unlinks the
    // old files; on failure the new ones are removed and nothing changed.
    bool commit(std::vector<Made>& made, int folder, const std::string& folderPath, DocumentLog& log,
                std::string* error);

    StoreIndex& m_index;
};

// Tests only: `hook` runs after each step of every re-encoding. Empty to remove it.
void setReEncodingHookForTests(std::function<void(ReEncoding::Step)> hook);

} // namespace strataloom::store
