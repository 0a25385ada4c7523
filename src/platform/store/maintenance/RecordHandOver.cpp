// Forget's hand-over: records another document still needs change holder,
// each durable in its new place before the index says so.
#include "RecordHandOver.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "RecordFiles.h"
#include "StoredRecords.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// One record the document holds that another document needs, and that
// document: the first whose version names it, else the holder of a record
// made against it.
constexpr const char* kNeededElsewhere =
    "SELECT id, needer FROM (SELECT r.id AS id, COALESCE((SELECT v.document FROM versions v WHERE v.record = r.id AND "
    "v.document != ?1 LIMIT 1), (SELECT d.holder FROM records d WHERE d.base = r.id AND d.holder != ?1 LIMIT 1)) AS "
    "needer FROM records r WHERE r.holder = ?1) WHERE needer IS NOT NULL ORDER BY id LIMIT 1";
constexpr const char* kDocumentId = "SELECT uuid FROM documents WHERE id = ?";
constexpr const char* kSwitchHolder =
    "UPDATE records SET holder = ?, inode = ?, change_time_ns = ? WHERE id = ? AND holder = ?";

std::function<void()>& handOverPause()
{
    static std::function<void()> pause;
    return pause;
}

std::string readError(StoreIndex& index)
{
    return "cannot read the version index: " + index.database().lastError();
}

// Links the record's file into the new folder; a link left by an earlier try
// that was cut short is taken as it is when it is the same file.
std::optional<struct stat> linkInto(int fromFd, int toFd, const std::string& name, std::string* error)
{
    struct stat source {};
    struct stat linked {};
    if (fstatat(fromFd, name.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(source.st_mode)) {
        fail(error, errnoMessage("cannot find the stored file " + name));
        return std::nullopt;
    }
    if (linkat(fromFd, name.c_str(), toFd, name.c_str(), 0) != 0 && errno != EEXIST) {
        fail(error, errnoMessage("cannot link the stored file " + name + " into its new document's folder"));
        return std::nullopt;
    }
    if (fstatat(toFd, name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) != 0 || linked.st_ino != source.st_ino
        || linked.st_dev != source.st_dev) {
        fail(error,
             "the folder of the document taking the stored file " + name + " already holds another file so named");
        return std::nullopt;
    }
    return linked;
}

// The record as its new holder's log tells it.
std::optional<LoggedRecord> loggedForm(StoredRecords& records, const StoredRecord& record, std::string* error)
{
    LoggedRecord logged;
    logged.name = record.name;
    logged.kind = record.kind;
    logged.canonicalZip = record.canonicalZip;
    logged.size = record.size;
    logged.checksum = record.checksum;
    logged.storedLength = record.isPacked() ? record.packed->size() : record.file ? record.file->size : 0;
    logged.packed = record.packed;
    if (record.base) {
        const auto base = records.byId(*record.base, error);
        if (!base)
            return std::nullopt;
        logged.base = base->name;
    }
    return logged;
}

bool handOver(StoreIndex& index, const StoredRecord& record, std::int64_t documentRowId, std::int64_t newHolder,
              std::vector<std::string>* handedOver, std::string* error)
{
    StoredRecords records(index);
    std::string newId;
    {
        auto query = index.statement(kDocumentId);
        if (!query.valid() || query->bind(1, newHolder).step() != SQLITE_ROW)
            return fail(error, readError(index));
        newId = query->blob(0);
    }
    const auto logged = loggedForm(records, record, error);
    if (!logged || !isId(newId))
        return fail(error, "the version index has a document record with a malformed identity");
    const StoreLayout& layout = index.layout();
    const UniqueFd documents(layout.openDocumentsFolder());
    if (!documents.valid())
        return fail(error, errnoMessage("cannot open the folder " + layout.documentsFolder()));
    std::optional<struct stat> linked;
    DurableBatch durable;
    // A packed record needs no folder; the new holder gets one for a file.
    if (!record.isPacked()) {
        const UniqueFd to = openHolderFolder(documents.get(), newId, true, error);
        const UniqueFd from =
            to.valid() ? openHolderFolder(documents.get(), record.holderId, false, error) : UniqueFd();
        if (!from.valid() || !(linked = linkInto(from.get(), to.get(), record.name, error)))
            return false;
        durable.addFolder(*layout.documentFolder(newId));
    }
    {
        auto log = DocumentLog::open(documents.get(), newId, error);
        if (!log)
            return false;
        log->recordRecord(*logged);
        if (!log->write(error) || !durable.addFile(log->fd(), error))
            return false;
        if (log->isNew())
            durable.addFolder(layout.documentsFolder());
        if (!durable.flush(error))
            return false;
    }
    if (handOverPause())
        handOverPause()();
    if (!index.beginWriting())
        return fail(error, "cannot write the version index: " + index.database().lastError());
    auto update = index.statement(kSwitchHolder);
    if (update.valid()) {
        update->bind(1, newHolder);
        // A packed record has no file and so no fingerprint.
        if (linked)
            update->bind(2, static_cast<std::int64_t>(linked->st_ino)).bind(3, nanoseconds(linked->st_ctim));
        else
            update->bindNull(2).bindNull(3);
        update->bind(4, record.rowId).bind(5, documentRowId);
    }
    const bool switched = update.valid() && update->run();
    if (!switched || !index.commit()) {
        const std::string message = "cannot write the version index: " + index.database().lastError();
        index.rollback();
        return fail(error, message);
    }
    if (handedOver && linked)
        handedOver->push_back(record.name);
    return true;
}

} // namespace

void setHandOverPauseForTests(std::function<void()> pause)
{
    handOverPause() = std::move(pause);
}

bool handOverRecords(StoreIndex& index, std::int64_t documentRowId, std::vector<std::string>* handedOver,
                     std::string* error)
{
    StoredRecords records(index);
    // One at a time, asked afresh: a record handed over makes its base needed
    // elsewhere in turn.
    for (;;) {
        std::int64_t recordId = 0;
        std::int64_t newHolder = 0;
        {
            auto query = index.statement(kNeededElsewhere);
            if (!query.valid())
                return fail(error, readError(index));
            query->bind(1, documentRowId);
            const int result = query->step();
            if (result == SQLITE_DONE)
                return true;
            if (result != SQLITE_ROW)
                return fail(error, readError(index));
            recordId = query->integer(0);
            newHolder = query->integer(1);
        }
        const auto record = records.byId(recordId, error);
        if (!record || !handOver(index, *record, documentRowId, newHolder, handedOver, error))
            return false;
    }
}

} // namespace strataloom::store
