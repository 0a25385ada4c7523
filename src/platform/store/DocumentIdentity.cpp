// Finding the document a file is, following it, and telling copies apart.
#include "DocumentIdentity.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "Paths.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace strataloom::store {

namespace {

constexpr const char* kSelectByUuid = "SELECT id, uuid, path, device, inode FROM documents WHERE uuid = ?";
constexpr const char* kSelectByPath = "SELECT id, uuid, path, device, inode FROM documents WHERE path = ?";

Document readDocument(SqliteStatement& row)
{
    Document document;
    document.rowId = row.integer(0);
    document.uuid = row.blob(1);
    if (!row.isNull(2))
        document.recordedPath = row.blob(2);
    document.device = row.integer(3);
    document.inode = row.integer(4);
    return document;
}

// `item` carries the id of a document that still stands at its recorded path,
// tagged the same, as another file: a copy made with the attribute. The
// recorded path is looked at, never followed through a final link.
bool isCopy(const Document& document, const Item& item)
{
    if (!document.recordedPath)
        return false;
    struct stat original {};
    if (lstat(document.recordedPath->c_str(), &original) != 0 || !S_ISREG(original.st_mode))
        return false;
    if (static_cast<std::int64_t>(original.st_dev) == item.device
        && static_cast<std::int64_t>(original.st_ino) == item.inode)
        return false; // a second link to the same file
    char buffer[kIdLength + 1];
    const ssize_t length = lgetxattr(document.recordedPath->c_str(), kDocumentIdAttribute, buffer, sizeof buffer);
    return length >= 0 && std::string(buffer, static_cast<std::size_t>(length)) == item.id;
}

std::optional<std::string> wellFormedId(const char* buffer, ssize_t length)
{
    if (length < 0)
        return std::nullopt;
    std::string id(buffer, static_cast<std::size_t>(length));
    return isId(id) ? std::optional<std::string>(id) : std::nullopt;
}

// One lookup through a kept statement: true with a row or none, false when the
// index could not be read.
bool lookUp(StoreIndex& index, const char* sql, const std::string& key, bool asBlob, std::optional<Document>& found,
            std::string* error)
{
    auto query = index.statement(sql);
    if (query.valid()) {
        if (asBlob)
            query->bindBlob(1, key);
        else
            query->bindText(1, key);
        const int result = query->step();
        if (result == SQLITE_ROW)
            found = readDocument(*query);
        if (result == SQLITE_ROW || result == SQLITE_DONE)
            return true;
    }
    if (error)
        *error = "cannot read the version index: " + index.database().lastError();
    return false;
}

} // namespace

std::string lookupPath(const std::string& path)
{
    if (auto resolved = realPath(path))
        return *resolved;
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        if (auto folder = realPath(parent))
            return (*folder == "/" ? "" : *folder) + path.substr(slash);
    }
    return path;
}

std::optional<std::string> documentIdOf(const std::string& path)
{
    char buffer[kIdLength + 1];
    return wellFormedId(buffer, getxattr(path.c_str(), kDocumentIdAttribute, buffer, sizeof buffer));
}

Item examineItem(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return Item{path, std::nullopt, 0, 0};
    return Item{path, documentIdOf(path), static_cast<std::int64_t>(status.st_dev),
                static_cast<std::int64_t>(status.st_ino)};
}

Item examineItem(const DocumentFile& file)
{
    char buffer[kIdLength + 1];
    return Item{file.path, wellFormedId(buffer, fgetxattr(file.fd.get(), kDocumentIdAttribute, buffer, sizeof buffer)),
                static_cast<std::int64_t>(file.status.st_dev), static_cast<std::int64_t>(file.status.st_ino)};
}

void tagDocument(int fd, const Item& item, const Document& document)
{
    if (item.id != document.uuid)
        fsetxattr(fd, kDocumentIdAttribute, document.uuid.data(), document.uuid.size(), 0);
}

// The identity attribute wins, so a renamed or moved document keeps its
// versions, unless the document it names still stands at its recorded path
// with that same identity: then `item` is a copy, a document of its own. The
// canonical path is the fallback, which keeps versions across saves that
// replace the file.
bool findDocument(StoreIndex& index, const Item& item, std::optional<Document>& document, std::string* error)
{
    document.reset();
    if (item.id) {
        std::optional<Document> byId;
        if (!lookUp(index, kSelectByUuid, *item.id, false, byId, error))
            return false;
        if (byId && (byId->recordedPath == item.path || !isCopy(*byId, item))) {
            document = std::move(byId);
            return true;
        }
    }
    return lookUp(index, kSelectByPath, item.path, true, document, error);
}

namespace {

// Inserts the record of a new document standing at `item`, inside a write
// transaction.
bool insertDocument(StoreIndex& index, const Item& item, Document& document, std::string uuid = randomId())
{
    Document created{0, std::move(uuid), item.path, item.device, item.inode};
    auto insert =
        index.statement("INSERT INTO documents (uuid, path, device, inode, created_ns) VALUES (?, ?, ?, ?, ?)");
    if (!insert.valid()
        || !insert->bindText(1, created.uuid)
                .bindBlob(2, item.path)
                .bind(3, item.device)
                .bind(4, item.inode)
                .bind(5, nowNs())
                .run())
        return false;
    created.rowId = sqlite3_last_insert_rowid(index.database().handle());
    document = std::move(created);
    return true;
}

// Whatever document stood at `path`, other than `keeper`, was replaced there
// by the document with id `by`: it keeps its versions and, as an earlier
// history of that place, the path.
bool releasePlace(StoreIndex& index, const std::string& path, const std::string& by, std::int64_t keeper)
{
    auto release = index.statement("UPDATE documents SET replaced_path = path, replaced_by = ?, replaced_ns = ?, "
                                   "path = NULL WHERE path = ? AND id <> ?");
    return release.valid() && release->bindText(1, by).bind(2, nowNs()).bindBlob(3, path).bind(4, keeper).run();
}

bool writeFailure(StoreIndex& index, const std::string& what, std::string* error)
{
    const std::string message = what + ": " + index.database().lastError();
    index.rollback();
    return fail(error, message);
}

} // namespace

bool findOrCreateDocument(StoreIndex& index, const Item& item, Document& document, std::string* error, bool* created)
{
    if (created)
        *created = false;
    std::optional<Document> found;
    if (!findDocument(index, item, found, error))
        return false;
    if (found) {
        document = std::move(*found);
        return true;
    }
    if (!index.beginWriting())
        return writeFailure(index, "cannot write the version index", error);
    // Another process may have recorded it while this one waited for the lock.
    if (!findDocument(index, item, found, error)) {
        index.rollback();
        return false;
    }
    if (found)
        document = std::move(*found);
    else if (!insertDocument(index, item, document))
        return writeFailure(index, "cannot record the document", error);
    else if (created)
        *created = true;
    if (!index.commit())
        return writeFailure(index, "cannot write the version index", error);
    return true;
}

bool createDocument(StoreIndex& index, const Item& item, Document& document, std::string* error)
{
    if (!index.beginWriting())
        return writeFailure(index, "cannot write the version index", error);
    const std::string uuid = randomId();
    if (!releasePlace(index, item.path, uuid, 0) || !insertDocument(index, item, document, uuid))
        return writeFailure(index, "cannot record the document", error);
    if (!index.commit())
        return writeFailure(index, "cannot write the version index", error);
    return true;
}

bool recordLocation(StoreIndex& index, const Document& document, const Item& item)
{
    if (document.recordedPath == item.path && document.device == item.device && document.inode == item.inode)
        return true;
    // A document found again somewhere is no longer an earlier history.
    auto move = index.statement("UPDATE documents SET path = ?, device = ?, inode = ?, replaced_path = NULL, "
                                "replaced_by = NULL, replaced_ns = NULL WHERE id = ?");
    return releasePlace(index, item.path, document.uuid, document.rowId) && move.valid()
        && move->bindBlob(1, item.path).bind(2, item.device).bind(3, item.inode).bind(4, document.rowId).run();
}

bool findEarlierDocuments(StoreIndex& index, const std::string& path, std::vector<EarlierDocument>& documents,
                          std::string* error)
{
    documents.clear();
    auto query = index.statement("SELECT id, uuid, path, device, inode, replaced_by, replaced_ns FROM documents "
                                 "WHERE replaced_path = ? ORDER BY replaced_ns DESC, id DESC");
    if (!query.valid())
        return fail(error, "cannot read the version index: " + index.database().lastError());
    query->bindBlob(1, path);
    int result;
    while ((result = query->step()) == SQLITE_ROW) {
        EarlierDocument earlier{readDocument(*query), path, query->isNull(5) ? std::string() : query->blob(5),
                                query->isNull(6) ? 0 : query->integer(6)};
        if (!isId(earlier.document.uuid))
            return fail(error, "the version index has a document record with a malformed identity");
        documents.push_back(std::move(earlier));
    }
    if (result != SQLITE_DONE)
        return fail(error, "cannot read the version index: " + index.database().lastError());
    return true;
}

namespace {

// Records the document's place in a transaction of its own, where the store
// may be written; nothing depends on it succeeding.
void recordLocationIfWritable(StoreIndex& index, const Document& document, const Item& item)
{
    if (!index.openForWriting() || !index.beginWriting())
        return;
    if (recordLocation(index, document, item))
        index.commit();
    else
        index.rollback();
}

} // namespace

void followRename(StoreIndex& index, const Document& document, const Item& item)
{
    if (document.recordedPath != item.path && document.device == item.device && document.inode == item.inode)
        recordLocationIfWritable(index, document, item);
}

void removeIfEmpty(StoreIndex& index, const Document& document)
{
    if (!index.beginWriting())
        return;
    auto remove = index.statement(
        "DELETE FROM documents WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM versions WHERE document = ?1)");
    if (remove.valid() && remove->bind(1, document.rowId).run())
        index.commit();
    else
        index.rollback();
}

void adoptItem(StoreIndex& index, const Document& document, const Item& item, int fd, std::int64_t position,
               const std::optional<SeenState>& seen)
{
    tagDocument(fd, item, document);
    const bool moved =
        document.recordedPath != item.path || document.device != item.device || document.inode != item.inode;
    if ((!moved && !seen) || !index.openForWriting() || !index.beginWriting())
        return;
    // The state recorded belongs to the file recorded: a new one, or none.
    auto update = index.statement(
        "UPDATE versions SET seen_modification_ns = ?, seen_change_time_ns = ? WHERE document = ? AND position = ?");
    bool recorded = recordLocation(index, document, item) && update.valid();
    if (recorded) {
        if (seen)
            update->bind(1, seen->modificationNs).bind(2, seen->changeTimeNs);
        else
            update->bindNull(1).bindNull(2);
        recorded = update->bind(3, document.rowId).bind(4, position).run();
    }
    if (recorded)
        index.commit();
    else
        index.rollback();
}

} // namespace strataloom::store
