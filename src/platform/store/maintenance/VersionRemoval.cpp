// Removing and pinning single versions, each step durable before the next:
// for a removal the log's records inside the index transaction that deletes
// the rows, then the stored files; for a pin the log, then the index.
#include "VersionRemoval.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "RecordRelease.h"
#include "StoreLock.h"

#include <functional>
#include <map>
#include <vector>

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// Documents whose logs are written in one go: each keeps its log open.
constexpr std::size_t kDocumentsPerRound = 256;

// The third parameter is 1 for a version that goes only while thinning may take it.
constexpr const char* kDeleteVersion =
    "DELETE FROM versions WHERE document = (SELECT id FROM documents WHERE uuid = ?) "
    "AND file = ? AND (? = 0 OR (pinned = 0 AND automatic = 1))";
// The record a version to remove names; a version of an index rebuilt before
// records were kept names the whole record of its own name.
constexpr const char* kRecordOfVersion =
    "SELECT COALESCE(v.record, (SELECT r.id FROM records r WHERE r.name = v.file AND r.holder = v.document)) "
    "FROM versions v WHERE v.document = (SELECT id FROM documents WHERE uuid = ?) AND v.file = ?";
constexpr const char* kSetPinned = "UPDATE versions SET pinned = ? WHERE document = (SELECT id FROM documents WHERE "
                                   "uuid = ?) AND file = ? AND pinned != ?";

struct DocumentChange {
    const std::string* documentId = nullptr;
    std::vector<const VersionRef*> versions;
};

using Changes = std::vector<DocumentChange>;

// The versions grouped by document, in rounds of a bounded number of documents.
std::vector<Changes> groupByDocument(std::span<const VersionRef> versions)
{
    std::map<std::string_view, std::vector<const VersionRef*>> byDocument;
    for (const VersionRef& version : versions)
        byDocument[version.documentId].push_back(&version);
    std::vector<Changes> rounds;
    for (auto& [id, refs] : byDocument) {
        if (rounds.empty() || rounds.back().size() == kDocumentsPerRound)
            rounds.emplace_back();
        rounds.back().push_back({&refs.front()->documentId, std::move(refs)});
    }
    return rounds;
}

// Opens and locks each document's log, in the order of the documents' ids,
// which is the order every writer that holds several logs takes them in.
std::optional<std::vector<DocumentLog>> openLogs(const StoreLayout& layout, const Changes& changes, std::string* error)
{
    UniqueFd documents(layout.openDocumentsFolder());
    if (!documents.valid()) {
        fail(error, errnoMessage("cannot open the folder " + layout.documentsFolder()));
        return std::nullopt;
    }
    std::vector<DocumentLog> logs;
    logs.reserve(changes.size());
    for (const DocumentChange& change : changes) {
        auto log = DocumentLog::open(documents.get(), *change.documentId, error);
        if (!log)
            return std::nullopt;
        logs.push_back(std::move(*log));
    }
    return logs;
}

// Appends each document's records to its open log and makes them durable.
template <typename Record>
bool writeLogs(Changes& changes, std::vector<DocumentLog>& logs, Record record, std::string* error)
{
    DurableBatch durable;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (changes[i].versions.empty())
            continue;
        for (const VersionRef* version : changes[i].versions)
            record(logs[i], *version);
        if (!logs[i].write(error) || !durable.addFile(logs[i].fd(), error))
            return false;
    }
    return durable.flush(error);
}

// Every id and file name must be of the form the store writes before any of
// them is acted on.
bool wellFormed(std::span<const VersionRef> versions, std::string* error)
{
    for (const VersionRef& version : versions)
        if (!isId(version.documentId) || !isId(version.file))
            return fail(error, "the version index has a version record with a malformed identity");
    return true;
}

// Runs one statement per version, bound by `bind`, in one transaction; each
// version that no row matched (gone, or changed meanwhile) is dropped from
// `changes`. `beforeCommit`, when given, runs last inside the transaction;
// its failure rolls the transaction back.
template <typename Bind>
bool changeRows(StoreIndex& index, const char* sql, Changes& changes, Bind bind, std::string* error,
                const std::function<bool()>& beforeCommit = {},
                const std::function<bool(const VersionRef&)>& beforeEach = {})
{
    if (!index.beginWriting())
        return fail(error, "cannot write the version index: " + index.database().lastError());
    for (DocumentChange& change : changes) {
        std::vector<const VersionRef*> changed;
        for (const VersionRef* version : change.versions) {
            if (beforeEach && !beforeEach(*version)) {
                index.rollback();
                return false;
            }
            auto statement = index.statement(sql);
            if (!statement.valid() || !bind(*statement, *version).run()) {
                const std::string message = "cannot write the version index: " + index.database().lastError();
                index.rollback();
                return fail(error, message);
            }
            if (sqlite3_changes(index.database().handle()) > 0)
                changed.push_back(version);
        }
        change.versions = std::move(changed);
    }
    if (beforeCommit && !beforeCommit()) {
        index.rollback();
        return false;
    }
    if (index.commit())
        return true;
    const std::string message = "cannot write the version index: " + index.database().lastError();
    index.rollback();
    return fail(error, message);
}

// Marks in `flags` (one per version of `all`) the versions left in `changes`.
void markChanged(std::span<const VersionRef> all, const Changes& changes, std::vector<bool>* flags)
{
    if (!flags)
        return;
    for (const DocumentChange& change : changes)
        for (const VersionRef* version : change.versions)
            (*flags)[static_cast<std::size_t>(version - all.data())] = true;
}

std::function<void()>& removalPause()
{
    static std::function<void()> pause;
    return pause;
}

} // namespace

void setRemovalPauseForTests(std::function<void()> pause)
{
    removalPause() = std::move(pause);
}

bool removeVersions(StoreIndex& index, std::span<const VersionRef> versions, std::vector<bool>* removed,
                    std::string* error)
{
    if (removed)
        removed->assign(versions.size(), false);
    if (!wellFormed(versions, error))
        return false;
    // Held throughout: a repair swapping the index in between would drop
    // what was recorded here, or leave the record ids read here naming
    // other rows.
    const auto storeLock = holdStoreForWriting(index, error);
    if (!storeLock)
        return false;
    const StoreLayout& layout = index.layout();
    for (Changes& changes : groupByDocument(versions)) {
        const auto bindRemoval = [](SqliteStatement& statement, const VersionRef& version) -> SqliteStatement& {
            return statement.bindText(1, version.documentId)
                .bindText(2, version.file)
                .bind(3, version.onlyIfThinnable ? 1 : 0);
        };
        // The removal records are made durable inside the transaction that
        // deletes the rows, only for the rows it deleted, with the logs locked
        // throughout: a check, which reads a log under its lock, never finds a
        // version neither listed nor recorded as removed, and a crash leaves
        // either both or a listed version whose record says it goes, as the
        // next pass has it.
        auto logs = openLogs(layout, changes, error);
        if (!logs)
            return false;
        const auto logRemoval = [](DocumentLog& log, const VersionRef& version) { log.recordRemoved(version.file); };
        // The records the removed versions named, read in the transaction
        // that deletes them; a version that goes only while thinnable is
        // looked up all the same: a record kept for nothing is let go later.
        std::vector<std::int64_t> records;
        const auto noteRecord = [&](const VersionRef& version) {
            auto query = index.statement(kRecordOfVersion);
            if (!query.valid())
                return fail(error, "cannot read the version index: " + index.database().lastError());
            query->bindText(1, version.documentId).bindText(2, version.file);
            const int result = query->step();
            if (result == SQLITE_ROW && !query->isNull(0))
                records.push_back(query->integer(0));
            else if (result != SQLITE_ROW && result != SQLITE_DONE)
                return fail(error, "cannot read the version index: " + index.database().lastError());
            return true;
        };
        // Confirmed inside the transaction that deletes them: a version pinned
        // or removed since it was chosen stays as it is, with its contents,
        // and its log gets no record of a removal.
        if (!changeRows(
                index, kDeleteVersion, changes, bindRemoval, error,
                [&] { return writeLogs(changes, *logs, logRemoval, error); }, noteRecord))
            return false;
        markChanged(versions, changes, removed);
        logs.reset();
        if (removalPause())
            removalPause()();
        // Contents another version still names, or that another record is a
        // delta against, stay; the rest go, after the rows that named them.
        if (!releaseRecords(index, std::move(records), error))
            return false;
    }
    return true;
}

bool setPinned(StoreIndex& index, std::span<const VersionRef> versions, bool pinned, std::vector<bool>* changed,
               std::string* error)
{
    if (changed)
        changed->assign(versions.size(), false);
    if (!wellFormed(versions, error))
        return false;
    const auto storeLock = holdStoreForWriting(index, error);
    if (!storeLock)
        return false;
    const StoreLayout& layout = index.layout();
    for (Changes& changes : groupByDocument(versions)) {
        const auto logPin = [pinned](DocumentLog& log, const VersionRef& version) {
            log.recordPinned(version.file, pinned);
        };
        const auto bindPin = [pinned](SqliteStatement& statement, const VersionRef& version) -> SqliteStatement& {
            return statement.bind(1, pinned ? 1 : 0)
                .bindText(2, version.documentId)
                .bindText(3, version.file)
                .bind(4, pinned ? 1 : 0);
        };
        // Logged first: a record of a version removed meanwhile names nothing
        // a rebuild keeps, and one already so changes nothing.
        auto logs = openLogs(layout, changes, error);
        if (!logs || !writeLogs(changes, *logs, logPin, error))
            return false;
        logs.reset();
        if (!changeRows(index, kSetPinned, changes, bindPin, error))
            return false;
        markChanged(versions, changes, changed);
    }
    return true;
}

} // namespace strataloom::store
