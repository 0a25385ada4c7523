// check --repair: a new index made from the documents' logs and stored files.
#include "IndexRebuild.h"
#include "ContentHash.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileAttributes.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "Nanoseconds.h"
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

struct FoundVersion {
    std::string file;
    std::uint64_t size = 0;
    std::uint64_t inode = 0;
    std::int64_t changeTimeNs = 0;
    std::string checksum;
    FileDates dates;
    std::int64_t addedNs = 0;
    bool automatic = false;
    bool pinned = false;
};

struct FoundDocument {
    std::string uuid;
    std::optional<LoggedLocation> location;
    std::int64_t createdNs = 0;
    std::vector<FoundVersion> versions;
    bool logged = false;
};

// The stored file `name` in the document's folder, if it is a regular file
// (never through a link).
std::optional<FoundVersion> examineStored(int folderFd, const std::string& name, UniqueFd* keep = nullptr)
{
    UniqueFd file(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    FoundVersion version;
    version.file = name;
    version.size = static_cast<std::uint64_t>(status.st_size);
    version.inode = static_cast<std::uint64_t>(status.st_ino);
    version.changeTimeNs = nanoseconds(status.st_ctim);
    if (keep)
        *keep = std::move(file);
    return version;
}

// A document's versions: those its log records whose stored files are there
// whole, in the log's order. A document without a log gets every stored
// file, in the order of their modification dates, with their own dates and
// checksums.
std::optional<FoundDocument> readDocument(int documentsFd, const std::string& uuid,
                                          const std::function<void(const std::string&)>& failed)
{
    UniqueFd folder(openat(documentsFd, uuid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string error;
    const auto names = folder.valid() ? folderEntries(folder.get(), &error) : std::nullopt;
    if (!names) {
        failed(errnoMessage("cannot read the folder of document " + uuid));
        return std::nullopt;
    }
    FoundDocument document;
    document.uuid = uuid;
    const auto history = readDocumentLog(folder.get(), &error);
    if (!error.empty()) {
        failed(error + " (document " + uuid + ")");
        return std::nullopt;
    }
    if (history && history->forgotten)
        return std::nullopt;
    if (history) {
        document.logged = true;
        document.location = history->location;
        document.createdNs = history->createdNs;
        for (const LoggedVersion& logged : history->versions) {
            auto found = examineStored(folder.get(), logged.file);
            // Gone: removed since, or an add that failed after logging it.
            if (!found || found->size != logged.size)
                continue;
            found->checksum = logged.checksum;
            found->dates = logged.dates;
            found->addedNs = logged.addedNs;
            found->automatic = logged.automatic;
            found->pinned = logged.pinned;
            document.versions.push_back(std::move(*found));
        }
        return document;
    }
    document.createdNs = nowNs();
    for (const std::string& name : *names) {
        if (!isId(name))
            continue;
        UniqueFd file;
        auto found = examineStored(folder.get(), name, &file);
        const auto dates = found ? readDates(file.get()) : std::nullopt;
        const auto checksum = found ? checksumOfFile(file.get()) : std::nullopt;
        if (!dates || !checksum) {
            failed(errnoMessage("cannot read the stored file " + name + " of document " + uuid));
            continue;
        }
        found->dates = *dates;
        found->checksum = *checksum;
        found->addedNs = found->changeTimeNs;
        document.versions.push_back(std::move(*found));
    }
    std::stable_sort(document.versions.begin(), document.versions.end(),
                     [](const FoundVersion& a, const FoundVersion& b) {
                         return a.dates.modification < b.dates.modification;
                     });
    return document;
}

bool writeIndex(SqliteDatabase& database, const std::vector<FoundDocument>& documents)
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
    SqliteStatement insertVersion(database.handle(),
                                  "INSERT INTO versions (document, position, file, size, inode, change_time_ns, "
                                  "checksum, modification_s, modification_ns, creation_s, creation_ns, added_ns, "
                                  "automatic, pinned) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
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
        const std::int64_t row = sqlite3_last_insert_rowid(database.handle());
        std::int64_t position = 0;
        for (const FoundVersion& version : document.versions) {
            insertVersion.bind(1, row)
                .bind(2, position++)
                .bindText(3, version.file)
                .bind(4, static_cast<std::int64_t>(version.size))
                .bind(5, static_cast<std::int64_t>(version.inode))
                .bind(6, version.changeTimeNs)
                .bindBlob(7, version.checksum)
                .bind(8, version.dates.modification.seconds)
                .bind(9, version.dates.modification.nanoseconds)
                .bind(10, version.dates.creation.seconds)
                .bind(11, version.dates.creation.nanoseconds)
                .bind(12, version.addedNs)
                .bind(13, version.automatic ? 1 : 0)
                .bind(14, version.pinned ? 1 : 0);
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
    UniqueFd documentsFd(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const auto names = documentsFd.valid() ? folderEntries(documentsFd.get()) : std::nullopt;
    if (!names) {
        failed(errnoMessage("cannot read the folder " + layout.documentsFolder()));
        return false;
    }
    std::vector<FoundDocument> documents;
    for (const std::string& name : *names) {
        if (!isId(name))
            continue;
        auto document = readDocument(documentsFd.get(), name, failed);
        if (!document)
            continue;
        result.versions += document->versions.size();
        if (!document->logged)
            result.unloggedVersions += document->versions.size();
        documents.push_back(std::move(*document));
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
            || !prepareFormat(database, migrations(), &error) || !writeIndex(database, documents)) {
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
