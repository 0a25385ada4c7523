// check --repair: a new index made from the documents' logs and stored files.
#include "IndexRebuild.h"
#include "ContentHash.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileAttributes.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "IndexRebuildReading.h"
#include "Nanoseconds.h"
#include "RecordResolution.h"
#include "StoreIndex.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

bool insertRecords(SqliteDatabase& database, const std::vector<std::int64_t>& documentRows,
                   RecordResolution& resolution, const std::vector<std::string>& used,
                   std::map<std::string, std::int64_t>& rows)
{
    SqliteStatement insert(database.handle(),
                           "INSERT INTO records (name, holder, kind, base, height, size, checksum, stored_bytes, "
                           "file_size, inode, change_time_ns, packed) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const FoundRecord* record : resolution.inInsertionOrder(used)) {
        insert.bindText(1, record->name)
            .bind(2, documentRows[record->holder])
            .bind(3, recordKindNumber(record->kind, record->canonicalZip));
        if (record->kind == RecordKind::Delta)
            insert.bind(4, rows.at(resolution.baseOf(*record)));
        else
            insert.bindNull(4);
        insert.bind(5, resolution.height(record->name))
            .bind(6, static_cast<std::int64_t>(record->size))
            .bindBlob(7, record->checksum)
            .bind(8, static_cast<std::int64_t>(record->storedBytes));
        if (record->packed)
            insert.bindNull(9).bindNull(10).bindNull(11).bindBlob(12, *record->packed);
        else
            insert.bind(9, static_cast<std::int64_t>(record->fileSize))
                .bind(10, static_cast<std::int64_t>(record->inode))
                .bind(11, record->changeTimeNs)
                .bindNull(12);
        if (!insert.run())
            return false;
        insert.reset();
        rows[record->name] = sqlite3_last_insert_rowid(database.handle());
    }
    return true;
}

bool writeIndex(SqliteDatabase& database, const std::vector<FoundDocument>& documents, RecordResolution& resolution,
                const std::vector<std::string>& used)
{
    // A path claimed by two documents goes to the one that stood there last.
    std::map<std::string, const FoundDocument*> claims;
    const auto lastAdded = [](const FoundDocument& document) {
        return document.versions.empty() ? document.createdNs : document.versions.back().addedNs;
    };
    for (const FoundDocument& document : documents)
        if (document.location) {
            const FoundDocument*& claim = claims[document.location->path];
            if (!claim || lastAdded(*claim) < lastAdded(document))
                claim = &document;
        }
    if (!database.execute("BEGIN IMMEDIATE"))
        return false;
    SqliteStatement insertDocument(database.handle(), "INSERT INTO documents (uuid, path, device, inode, created_ns) "
                                                      "VALUES (?, ?, ?, ?, ?)");
    std::vector<std::int64_t> documentRows;
    for (const FoundDocument& document : documents) {
        insertDocument.bindText(1, document.uuid);
        if (document.location && claims[document.location->path] == &document)
            insertDocument.bindBlob(2, document.location->path)
                .bind(3, document.location->device)
                .bind(4, document.location->inode);
        else
            insertDocument.bindNull(2).bind(3, 0).bind(4, 0);
        insertDocument.bind(5, document.createdNs);
        if (!insertDocument.run())
            return false;
        insertDocument.reset();
        documentRows.push_back(sqlite3_last_insert_rowid(database.handle()));
    }
    std::map<std::string, std::int64_t> recordRows;
    if (!insertRecords(database, documentRows, resolution, used, recordRows))
        return false;
    SqliteStatement insertVersion(database.handle(),
                                  "INSERT INTO versions (document, position, file, size, inode, change_time_ns, "
                                  "checksum, modification_s, modification_ns, creation_s, creation_ns, added_ns, "
                                  "automatic, pinned, record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (std::size_t d = 0; d < documents.size(); ++d) {
        std::int64_t position = 0;
        for (const FoundVersion& version : documents[d].versions) {
            const FoundRecord* record = resolution.find(version.record);
            insertVersion.bind(1, documentRows[d])
                .bind(2, position++)
                .bindText(3, version.file)
                .bind(4, static_cast<std::int64_t>(version.size))
                .bind(5, static_cast<std::int64_t>(record->inode))
                .bind(6, record->changeTimeNs)
                .bindBlob(7, version.checksum)
                .bind(8, version.dates.modification.seconds)
                .bind(9, version.dates.modification.nanoseconds)
                .bind(10, version.dates.creation.seconds)
                .bind(11, version.dates.creation.nanoseconds)
                .bind(12, version.addedNs)
                .bind(13, version.automatic ? 1 : 0)
                .bind(14, version.pinned ? 1 : 0)
                .bind(15, recordRows.at(version.record));
            if (!insertVersion.run())
                return false;
            insertVersion.reset();
        }
    }
    return database.execute("COMMIT");
}

// Moves the index and its companion files out of the way under one new name.
bool setAside(const StoreLayout& layout, RebuildResult& result, const std::function<void(const std::string&)>& failed)
{
    const std::string index = layout.indexPath();
    const std::string aside = index + ".damaged-" + std::to_string(nowNs());
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string from = index + suffix;
        struct stat status {};
        if (lstat(from.c_str(), &status) != 0)
            continue;
        if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, (aside + suffix).c_str(), RENAME_NOREPLACE) != 0) {
            failed(errnoMessage("cannot move the damaged index " + from + " aside"));
            return false;
        }
        result.setAside = aside;
    }
    return true;
}

} // namespace

bool rebuildIndex(const StoreLayout& layout, RebuildResult& result,
                  const std::function<void(const std::string&)>& failed)
{
    UniqueFd documentsFd(layout.openDocumentsFolder());
    const auto names = documentsFd.valid() ? folderEntries(documentsFd.get()) : std::nullopt;
    if (!names) {
        failed(errnoMessage("cannot read the folder " + layout.documentsFolder()));
        return false;
    }
    std::vector<FoundDocument> documents;
    RecordResolution resolution;
    for (const std::string& name : StoreLayout::documentIds(*names)) {
        auto document = readDocument(documentsFd.get(), name, documents.size(), resolution, failed);
        if (document)
            documents.push_back(std::move(*document));
    }
    const std::vector<std::string> used = resolveVersions(documentsFd.get(), documents, resolution, result);
    for (const FoundDocument& document : documents) {
        result.versions += document.versions.size();
        if (!document.logged)
            result.unloggedVersions += document.versions.size();
    }
    result.documents = documents.size();

    // Built under another name, without a log, and renamed into place whole.
    const std::string building = layout.indexPath() + ".rebuilding";
    unlink(building.c_str());
    unlink((building + "-journal").c_str());
    {
        SqliteDatabase database(building, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        std::string error;
        if (!database.valid() || !database.execute("PRAGMA synchronous=FULL")
            || !prepareFormat(database, migrations(), &error) || !writeIndex(database, documents, resolution, used)) {
            failed("cannot build a new version index: " + (error.empty() ? database.lastError() : error));
            unlink(building.c_str());
            return false;
        }
    }
    UniqueFd built(open(building.c_str(), O_RDONLY | O_CLOEXEC));
    std::string error;
    if (!built.valid() || !syncFile(built.get(), &error) || !setAside(layout, result, failed)) {
        if (!error.empty())
            failed(error);
        return false;
    }
    if (renameat2(AT_FDCWD, building.c_str(), AT_FDCWD, layout.indexPath().c_str(), RENAME_NOREPLACE) != 0) {
        failed(errnoMessage("cannot put the new version index in place"));
        return false;
    }
    if (!syncFolder(layout.location(), &error)) {
        failed(error);
        return false;
    }
    result.rebuilt = true;
    return true;
}

} // namespace strataloom::store
