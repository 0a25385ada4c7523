// The re-encoding an add of one version takes along: prepared under the
// document's log lock before the add logs, logged and switched with the add,
// the old file unlinked once the add committed.
#include "CanonicalContents.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "ReEncoding.h"

#include <unistd.h>

namespace strataloom::store {

std::optional<std::optional<ReEncoding::Made>>
ReEncoding::prepareForAdd(std::int64_t documentRowId, const StoredRecord& newer, int folder, std::string* error)
{
    std::int64_t olderId = 0;
    {
        auto query = m_index.statement(kNewestRecords);
        if (!query.valid()) {
            fail(error, "cannot read the version index: " + m_index.database().lastError());
            return std::nullopt;
        }
        if (query->bind(1, documentRowId).bind(2, std::int64_t{1}).step() == SQLITE_ROW && !query->isNull(0))
            olderId = query->integer(0);
    }
    StoredRecords records(m_index);
    const auto older = olderId && olderId != newer.rowId ? records.byId(olderId) : std::nullopt;
    if (!older || !reEncodable(*older) || older->holder != documentRowId || holdsZipArchive(*older))
        return std::optional<Made>();
    const bool deltaAllowed = newer.height + 1 + StoredRecords(m_index).longestWalkAbove(olderId) <= kMaxChain;
    auto one = encode(*older, newer, deltaAllowed, folder, error);
    if (!one || !*one)
        return one;
    Made& made = **one;
    // Its data durable before the log names it; its name with the add's.
    if (made.file.valid() && !syncFile(made.file.get(), error)) {
        dropPrepared(made, folder);
        return std::nullopt;
    }
    reached(Step::RecordWritten);
    return one;
}

// Making the canonical forms of an archive and of its successor inflates and
// deflates each member twice over, many times what a save costs otherwise:
// a save leaves such a whole record to compaction (the watcher's after its
// batch, `strataloom-cli compact`), which makes the same record.
bool ReEncoding::holdsZipArchive(const StoredRecord& record) const
{
    if (record.kind != RecordKind::Whole)
        return false;
    const UniqueFd file(m_index.layout().openStoredFile(record.holderId, record.name));
    return file.valid() && startsLikeZip(file.get());
}

void ReEncoding::logPrepared(const Made& made, DocumentLog& log)
{
    logMade(made, log);
}

void ReEncoding::switchPrepared(Made& made, std::int64_t newerId, int folder)
{
    reached(Step::RecordLogged);
    made.newerId = newerId;
    if (made.record.kind == RecordKind::Delta)
        made.record.base = newerId;
    // A savepoint, so that a record changed meanwhile costs the add nothing.
    StoredRecords records(m_index);
    made.switched = m_index.database().execute("SAVEPOINT re_encoding") && switchOne(made, records, nullptr)
                 && m_index.database().execute("RELEASE re_encoding");
    if (!made.switched) {
        m_index.database().execute("ROLLBACK TO re_encoding");
        m_index.database().execute("RELEASE re_encoding");
        dropPrepared(made, folder);
    }
}

void ReEncoding::finishPrepared(Made& made, int folder)
{
    if (!made.switched)
        return;
    reached(Step::IndexSwitched);
    made.file.reset();
    unlinkat(folder, made.older.name.c_str(), 0);
    reached(Step::OldFileUnlinked);
}

void ReEncoding::dropPrepared(Made& made, int folder)
{
    if (made.file.valid()) {
        unlinkat(folder, made.record.name.c_str(), 0);
        made.file.reset();
    }
}

} // namespace strataloom::store
