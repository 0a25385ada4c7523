// Removing and pinning single versions: log, index, then stored files, each
// step durable before the next.
#include "VersionRemoval.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"

#include <map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// Documents whose logs are written in one go: each keeps its folder open.
constexpr std::size_t kDocumentsPerRound = 256;

constexpr const char* kDeleteVersion =
    "DELETE FROM versions WHERE document = (SELECT id FROM documents WHERE uuid = ?) AND file = ?";
constexpr const char* kSetPinned =
    "UPDATE versions SET pinned = ? WHERE document = (SELECT id FROM documents WHERE uuid = ?) AND file = ?";

struct DocumentChange {
    const std::string* documentId = nullptr;
    std::vector<const VersionRef*> versions;
    UniqueFd folder;
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
        rounds.back().push_back({&refs.front()->documentId, std::move(refs), UniqueFd()});
    }
    return rounds;
}

// Appends each document's records to its log and makes them durable.
template <typename Record>
bool logChanges(const StoreLayout& layout, Changes& changes, Record record, std::string* error)
{
    UniqueFd documents(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!documents.valid())
        return fail(error, errnoMessage("cannot open the folder " + layout.documentsFolder()));
    DurableBatch durable;
    for (DocumentChange& change : changes) {
        if (!layout.documentFolder(*change.documentId))
            return fail(error, "the version index has a document record with a malformed identity");
        change.folder.reset(
            openat(documents.get(), change.documentId->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!change.folder.valid())
            return fail(error, errnoMessage("cannot open the folder of document " + *change.documentId));
        auto log = DocumentLog::open(change.folder.get(), error);
        if (!log)
            return false;
        for (const VersionRef* version : change.versions)
            record(*log, *version);
        if (!log->write(error) || !durable.addFile(log->fd(), error))
            return false;
    }
    return durable.flush(error);
}

template <typename Bind>
bool changeRows(StoreIndex& index, const char* sql, const Changes& changes, Bind bind, std::string* error)
{
    if (!index.beginWriting())
        return fail(error, "cannot write the version index: " + index.database().lastError());
    for (const DocumentChange& change : changes) {
        for (const VersionRef* version : change.versions) {
            auto statement = index.statement(sql);
            if (!statement.valid() || !bind(*statement, *version).run()) {
                const std::string message = "cannot write the version index: " + index.database().lastError();
                index.rollback();
                return fail(error, message);
            }
        }
    }
    if (index.commit())
        return true;
    const std::string message = "cannot write the version index: " + index.database().lastError();
    index.rollback();
    return fail(error, message);
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

bool removeVersions(StoreIndex& index, std::span<const VersionRef> versions, std::string* error)
{
    if (!index.openForWriting(error))
        return false;
    const StoreLayout& layout = index.layout();
    for (Changes& changes : groupByDocument(versions)) {
        const auto logRemoval = [](DocumentLog& log, const VersionRef& version) { log.recordRemoved(version.file); };
        const auto bindRemoval = [](SqliteStatement& statement, const VersionRef& version) -> SqliteStatement& {
            return statement.bindText(1, version.documentId).bindText(2, version.file);
        };
        if (!logChanges(layout, changes, logRemoval, error)
            || !changeRows(index, kDeleteVersion, changes, bindRemoval, error))
            return false;
        if (removalPause())
            removalPause()();
        DurableBatch durable;
        for (const DocumentChange& change : changes) {
            for (const VersionRef* version : change.versions)
                if (unlinkat(change.folder.get(), version->file.c_str(), 0) != 0 && errno != ENOENT)
                    return fail(error, errnoMessage("cannot remove the stored file " + version->file + " of document "
                                                    + version->documentId));
            durable.addFolder(*layout.documentFolder(*change.documentId));
        }
        if (!durable.flush(error))
            return false;
    }
    return true;
}

bool setPinned(StoreIndex& index, std::span<const VersionRef> versions, bool pinned, std::string* error)
{
    if (!index.openForWriting(error))
        return false;
    const StoreLayout& layout = index.layout();
    for (Changes& changes : groupByDocument(versions)) {
        const auto logPin = [pinned](DocumentLog& log, const VersionRef& version) {
            log.recordPinned(version.file, pinned);
        };
        const auto bindPin = [pinned](SqliteStatement& statement, const VersionRef& version) -> SqliteStatement& {
            return statement.bind(1, pinned ? 1 : 0).bindText(2, version.documentId).bindText(3, version.file);
        };
        if (!logChanges(layout, changes, logPin, error) || !changeRows(index, kSetPinned, changes, bindPin, error))
            return false;
    }
    return true;
}

} // namespace strataloom::store
