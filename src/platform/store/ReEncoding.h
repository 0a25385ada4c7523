#pragma once

#include "DocumentLog.h"
#include "FileDescriptor.h"
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
    // version after it, oldest first, but for the records named in `tried`
    // (sorted), which were tried against it as they were staged. Holds the
    // store shared and the document's log while it works. Does nothing once
    // the index open under `generation`, which the row id was read under, was
    // replaced by a repair.
    bool afterAdd(std::int64_t documentRowId, std::size_t added, std::uint64_t generation,
                  const std::vector<std::string>& tried = {}, std::string* error = nullptr);
    // Re-encodes the whole record `older` against `newer`, the routine the
    // adds and compaction share; the caller holds the store and `log`, the
    // log of `older`'s holder, locked. Empty, with `error` set, when it
    // failed part-way: every version still reads as before.
    std::optional<Outcome> reEncode(const StoredRecord& older, const StoredRecord& newer, DocumentLog& log,
                                    std::string* error = nullptr);

    // The steps of reEncode(), after each of which a test may stop the process.
    enum class Step { RecordWritten, RecordLogged, IndexSwitched, OldFileUnlinked };

    // One whole record re-encoded, not yet in the index.
    struct Made {
        StoredRecord older;
        std::int64_t newerId = 0;
        std::string newerName;
        StoredRecord record; // the new one: name, kind, bytes or file
        UniqueFd file; // locked until the index names it
        bool switched = false; // in the add's transaction
    };

    // An add of one version takes its document's re-encoding along, so that
    // it costs no barrier, log write or transaction of its own: prepared
    // under the document's log lock before the add logs, against the added
    // version `newer` (rowId 0 while it is only staged); a record that needs
    // a file has its data durable before it returns, and its name becomes
    // durable with the add's. Empty inside when there is nothing to do, or
    // when the older record is a zip archive, which compaction re-encodes.
    std::optional<std::optional<Made>> prepareForAdd(std::int64_t documentRowId, const StoredRecord& newer, int folder,
                                                     std::string* error = nullptr);
    // Appends the new record and the switch to the add's log, after its versions.
    static void logPrepared(const Made& made, DocumentLog& log);
    // Inside the add's transaction once its version is recorded as `newerId`:
    // switches to the new record, or, when the older one changed meanwhile,
    // leaves the index as it was and removes the new file.
    void switchPrepared(Made& made, std::int64_t newerId, int folder);
    // After the add committed: the old file unlinked, when the switch was.
    static void finishPrepared(Made& made, int folder);
    // The add failed: the new file removed.
    static void dropPrepared(Made& made, int folder);

private:
    static constexpr const char* kDocumentId = "SELECT uuid FROM documents WHERE id = ?";
    // The records of a document's newest versions, newest first.
    static constexpr const char* kNewestRecords =
        "SELECT record FROM versions WHERE document = ? ORDER BY position DESC LIMIT ?";

    // Tells the test hook, if any, that `step` was reached.
    static void reached(Step step);
    static void logMade(const Made& one, DocumentLog& log);
    // A whole record, or a compressed one packed when its contents were added.
    static bool reEncodable(const StoredRecord& record);
    // `older` encoded against `newer` (a delta only where `deltaAllowed`),
    // into a new file of the holder's folder `folder` or packed; empty inside
    // when it stays whole, empty with `error` set on failure.
    std::optional<std::optional<Made>> encode(const StoredRecord& older, const StoredRecord& newer, bool deltaAllowed,
                                              int folder, std::string* error);
    // A whole record whose contents start like a zip archive.
    bool holdsZipArchive(const StoredRecord& record) const;
    // Switches the index from `one.older` to its new record, inside the
    // caller's transaction, only while the older is still the whole one read.
    bool switchOne(const Made& one, StoredRecords& records, std::string* error);
    // Makes the records durable, logs them, switches the index, unlinks the
    // old files; on failure the new ones are removed and nothing changed.
    bool commit(std::vector<Made>& made, int folder, const std::string& folderPath, DocumentLog& log,
                std::string* error);

    StoreIndex& m_index;
};

// Tests only: `hook` runs after each step of every re-encoding. Empty to remove it.
void setReEncodingHookForTests(std::function<void(ReEncoding::Step)> hook);

} // namespace strataloom::store
