// What every check and clean-up starts from: the index opened and checked, and
// a snapshot of the documents and versions it records.
#include "MaintenancePass.h"
#include "FileDescriptor.h"
#include "FolderListing.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

MaintenancePass::MaintenancePass(const std::string& location, std::chrono::seconds gracePeriod, bool removing,
                                 StoreMaintenanceListener& listener)
    : m_index(StoreLayout(location))
    , m_gracePeriod(gracePeriod)
    , m_removing(removing)
    , m_listener(listener)
{
}

bool MaintenancePass::start()
{
    std::string error;
    // A removing pass opens the index only once it holds the store: a repair
    // renames the index away and its new one into place.
    struct stat store {};
    if (m_removing && lstat(layout().location().c_str(), &store) == 0) {
        m_storeLock = StoreLock::acquire(layout(), StoreLock::Mode::Shared, StoreLock::kWriterWait, &error);
        if (!m_storeLock) {
            fail(error);
            return false;
        }
    }
    switch (m_index.openExisting(m_removing, &error)) {
    case StoreIndex::State::Absent:
        reportLostIndex();
        return false;
    case StoreIndex::State::Failed:
        fail(error);
        return false;
    case StoreIndex::State::Ready:
        break;
    }
    return indexIsSound() && readSnapshot();
}

const DocumentRow* MaintenancePass::document(const std::string& uuid) const
{
    const auto found = m_byUuid.find(uuid);
    return found == m_byUuid.end() ? nullptr : found->second;
}

const RecordRow* MaintenancePass::record(std::int64_t id) const
{
    const auto found = std::lower_bound(m_records.begin(), m_records.end(), id,
                                        [](const RecordRow& row, std::int64_t value) { return row.id < value; });
    return found != m_records.end() && found->id == id ? &*found : nullptr;
}

std::string MaintenancePass::storedPath(const DocumentRow& document, std::size_t index) const
{
    return layout().storedFilePath(document.uuid, document.versions[index].file).value_or(std::string());
}

StoreFinding MaintenancePass::versionFinding(StoreFinding::Kind kind, const DocumentRow& document, std::size_t index,
                                             std::string detail) const
{
    StoreFinding finding;
    finding.kind = kind;
    finding.path = storedPath(document, index);
    finding.document = document.path;
    finding.index = index;
    finding.detail = std::move(detail);
    return finding;
}

bool MaintenancePass::stopping()
{
    if (!m_summary.interrupted && m_listener.shouldStop())
        m_summary.interrupted = true;
    return m_summary.interrupted;
}

void MaintenancePass::report(const StoreFinding& finding)
{
    ++m_summary.findings;
    m_listener.found(finding);
}

void MaintenancePass::fail(const std::string& message)
{
    ++m_summary.failures;
    m_listener.failed(message);
}

bool MaintenancePass::indexIsSound()
{
    SqliteDatabase& database = m_index.database();
    SqliteStatement query(database.handle(), "PRAGMA quick_check");
    if (query.step() != SQLITE_ROW) {
        fail("cannot check the version index: " + database.lastError());
        return false;
    }
    const std::string verdict = query.blob(0);
    if (verdict == "ok")
        return true;
    fail("the version index is damaged: " + verdict);
    return false;
}

bool MaintenancePass::readSnapshot()
{
    SqliteDatabase& database = m_index.database();
    if (!database.execute("BEGIN")) {
        fail("cannot read the version index: " + database.lastError());
        return false;
    }
    const std::size_t failuresBefore = m_summary.failures;
    const bool read = readDocuments() && readVersions() && readRecords();
    database.execute("COMMIT");
    if (!read && m_summary.failures == failuresBefore)
        fail("cannot read the version index: " + database.lastError());
    return read;
}

bool MaintenancePass::readDocuments()
{
    SqliteStatement query(m_index.database().handle(), "SELECT id, uuid, path, device FROM documents ORDER BY id");
    int result;
    while ((result = query.step()) == SQLITE_ROW) {
        DocumentRow document;
        document.id = query.integer(0);
        document.uuid = query.blob(1);
        if (!query.isNull(2))
            document.path = query.blob(2);
        document.device = query.integer(3);
        if (!isId(document.uuid)) {
            // A folder name built from it could point anywhere; and its
            // stored files would look unreferenced. Nothing is judged.
            fail("the version index has a document record with a malformed identity");
            return false;
        }
        m_documents.push_back(std::move(document));
    }
    m_summary.documents = m_documents.size();
    rebuildLookup();
    return result == SQLITE_DONE;
}

bool MaintenancePass::readVersions()
{
    SqliteStatement query(m_index.database().handle(),
                          "SELECT document, file, size, checksum, record FROM versions ORDER BY document, position");
    std::map<std::int64_t, DocumentRow*> byId;
    for (DocumentRow& document : m_documents)
        byId[document.id] = &document;
    int result;
    while ((result = query.step()) == SQLITE_ROW) {
        const auto owner = byId.find(query.integer(0));
        VersionRow version{query.blob(1), static_cast<std::uint64_t>(query.integer(2)), query.blob(3),
                           query.isNull(4) ? std::nullopt : std::optional(query.integer(4))};
        if (owner == byId.end() || !layout().storedFilePath(owner->second->uuid, version.file)) {
            fail("the version index has a version record that names no document or no file of the store's form");
            return false;
        }
        owner->second->versions.push_back(std::move(version));
        ++m_summary.versions;
    }
    return result == SQLITE_DONE;
}

bool MaintenancePass::readRecords()
{
    SqliteStatement query(m_index.database().handle(),
                          "SELECT r.id, r.name, d.uuid, r.kind, r.base, r.size, r.checksum, r.packed IS NOT NULL "
                          "FROM records r JOIN documents d ON d.id = r.holder ORDER BY r.id");
    std::map<std::string, DocumentRow*> byUuid;
    for (DocumentRow& document : m_documents)
        byUuid[document.uuid] = &document;
    int result;
    while ((result = query.step()) == SQLITE_ROW) {
        RecordRow record;
        record.id = query.integer(0);
        record.name = query.blob(1);
        record.holder = query.blob(2);
        record.kind = static_cast<int>(query.integer(3));
        if (!query.isNull(4))
            record.base = query.integer(4);
        record.size = static_cast<std::uint64_t>(query.integer(5));
        record.checksum = query.blob(6);
        record.packed = query.integer(7) != 0;
        const auto holder = byUuid.find(record.holder);
        if (holder == byUuid.end() || !recordKindOf(record.kind)
            || !layout().storedFilePath(record.holder, record.name)) {
            fail("the version index has a contents record that names no document, no kind or no file of the store's "
                 "form");
            return false;
        }
        if (!record.packed)
            holder->second->files.insert(record.name);
        m_records.push_back(std::move(record));
    }
    return result == SQLITE_DONE;
}

// Without an index nothing in the store can be matched to a document, so
// nothing is judged; stored files there mean the index was lost.
void MaintenancePass::reportLostIndex()
{
    UniqueFd folder(open(layout().documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return;
    const auto names = folderEntries(folder.get());
    if (!names || !names->empty())
        fail("the version store " + layout().location()
             + " holds stored files but no version index; nothing there can be matched to a document until "
               "'strataloom-cli check --repair' rebuilds it");
}

void MaintenancePass::rebuildLookup()
{
    m_byUuid.clear();
    for (const DocumentRow& document : m_documents)
        m_byUuid[document.uuid] = &document;
}

} // namespace strataloom::store
