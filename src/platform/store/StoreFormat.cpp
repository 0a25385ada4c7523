// The index's format: its tables, the steps that upgrade an older format,
// and preparing a database at the newest format. The tables are described in
// docs/STORE.md.
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "StoreIndex.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// The records table, as created fresh and by the upgrade to format 5. A
// document's records go with it; one that another document's version or
// record still names stops the document's deletion (it must be handed over).
constexpr const char* kRecordsTable = R"sql(
CREATE TABLE records (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    holder INTEGER NOT NULL REFERENCES documents(id) ON DELETE CASCADE,
    kind INTEGER NOT NULL,
    base INTEGER REFERENCES records(id),
    height INTEGER NOT NULL DEFAULT 0,
    size INTEGER NOT NULL,
    checksum BLOB NOT NULL,
    stored_bytes INTEGER NOT NULL,
    file_size INTEGER,
    inode INTEGER,
    change_time_ns INTEGER,
    packed BLOB
);
CREATE INDEX records_contents ON records(checksum, size);
CREATE INDEX records_base ON records(base);
CREATE INDEX records_holder ON records(holder);
)sql";

constexpr const char* kSchema = R"sql(
CREATE TABLE documents (
    id INTEGER PRIMARY KEY,
    uuid TEXT NOT NULL UNIQUE,
    path BLOB UNIQUE,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    created_ns INTEGER NOT NULL,
    replaced_path BLOB,
    replaced_by TEXT,
    replaced_ns INTEGER
);
CREATE INDEX documents_replaced_path ON documents(replaced_path);
CREATE TABLE versions (
    document INTEGER NOT NULL REFERENCES documents(id),
    position INTEGER NOT NULL,
    file TEXT NOT NULL,
    size INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    change_time_ns INTEGER NOT NULL,
    checksum BLOB NOT NULL,
    modification_s INTEGER NOT NULL,
    modification_ns INTEGER NOT NULL,
    creation_s INTEGER NOT NULL,
    creation_ns INTEGER NOT NULL,
    added_ns INTEGER NOT NULL,
    automatic INTEGER NOT NULL DEFAULT 0,
    pinned INTEGER NOT NULL DEFAULT 0,
    seen_modification_ns INTEGER,
    seen_change_time_ns INTEGER,
    record INTEGER REFERENCES records(id),
    PRIMARY KEY (document, position)
) WITHOUT ROWID;
CREATE INDEX versions_record ON versions(record);
)sql";

// Format 2: versions taken by the watcher are marked, and versions can be
// kept from thinning; every earlier version was asked for and is unpinned.
bool addAutomaticAndPinnedColumns(SqliteDatabase& database, std::string*)
{
    return database.execute("ALTER TABLE versions ADD COLUMN automatic INTEGER NOT NULL DEFAULT 0;"
                            "ALTER TABLE versions ADD COLUMN pinned INTEGER NOT NULL DEFAULT 0");
}

// Format 3: the state of the document's file when it was seen holding a
// version, so that telling an unchanged file needs no read; unknown for
// every earlier version, which are then compared by checksum.
bool addSeenStateColumns(SqliteDatabase& database, std::string*)
{
    return database.execute("ALTER TABLE versions ADD COLUMN seen_modification_ns INTEGER;"
                            "ALTER TABLE versions ADD COLUMN seen_change_time_ns INTEGER");
}

// Format 4: where a document stood when another document took its place, by
// which, and when, so that its history stays reachable from that place. A
// document that lost its place before is left without one.
bool addReplacementColumns(SqliteDatabase& database, std::string*)
{
    return database.execute("ALTER TABLE documents ADD COLUMN replaced_path BLOB;"
                            "ALTER TABLE documents ADD COLUMN replaced_by TEXT;"
                            "ALTER TABLE documents ADD COLUMN replaced_ns INTEGER;"
                            "CREATE INDEX documents_replaced_path ON documents(replaced_path)");
}

// Format 5: contents live in records, which versions name, so that identical
// contents are stored once and older ones can become deltas. Every stored
// file of an earlier format is a whole record named like its version; no file
// moves. Its stored bytes are taken as its size until compaction measures it.
bool addRecords(SqliteDatabase& database, std::string*)
{
    const std::string steps =
        std::string(kRecordsTable)
        + "ALTER TABLE versions ADD COLUMN record INTEGER REFERENCES records(id);"
          "INSERT INTO records (name, holder, kind, size, checksum, stored_bytes, file_size, inode, "
          "change_time_ns) SELECT file, document, 0, size, checksum, size, size, inode, change_time_ns "
          "FROM versions ORDER BY document, position;"
          "UPDATE versions SET record = (SELECT id FROM records WHERE records.name = versions.file);"
          "CREATE INDEX versions_record ON versions(record)";
    return database.execute(steps.c_str());
}

// Format 6: a document's log lies beside its folder, as documents/<id>.log,
// so that a document whose contents are all packed needs no folder, which
// takes a block. Runs inside the upgrade's transaction, before the format
// number changes: a crash part-way leaves format 5 with some logs moved, and
// the next upgrade moves the rest. A log in place already is kept; a `log`
// that is no regular file is left where it is, for check to report. No
// writer of this release works on the store meanwhile: each waits for the
// upgrade's transaction before it opens a log.
bool moveLogsBesideFolders(SqliteDatabase& database, std::string* error)
{
    const char* index = sqlite3_db_filename(database.handle(), "main");
    const std::string_view indexPath = index ? index : "";
    if (indexPath.find('/') == std::string_view::npos)
        return true; // a database in memory has no store around it
    const std::string path = std::string(indexPath.substr(0, indexPath.rfind('/') + 1)) + StoreLayout::kDocumentsName;
    const UniqueFd documents(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!documents.valid())
        return errno == ENOENT || fail(error, errnoMessage("cannot open the folder " + path));
    const auto names = folderEntries(documents.get());
    if (!names)
        return fail(error, errnoMessage("cannot read the folder " + path));
    std::vector<std::string> folders;
    for (const std::string& name : *names) {
        if (!isId(name))
            continue;
        const UniqueFd folder(openat(documents.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) {
            if (errno == ENOTDIR || errno == ELOOP || errno == ENOENT)
                continue; // no folder of ours: check reports it
            return fail(error, errnoMessage("cannot open the folder " + path + "/" + name));
        }
        folders.push_back(name);
        struct stat status {};
        if (fstatat(folder.get(), StoreLayout::kFolderLogName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(error, errnoMessage("cannot examine the log of " + path + "/" + name));
        }
        if (!S_ISREG(status.st_mode))
            continue;
        // Never over a log in place: one moved by an earlier try is the same.
        if (renameat2(folder.get(), StoreLayout::kFolderLogName, documents.get(), StoreLayout::logName(name)->c_str(),
                      RENAME_NOREPLACE)
                != 0
            && errno != EEXIST)
            return fail(error, errnoMessage("cannot move the log of " + path + "/" + name));
    }
    // The logs' new names durable before any folder goes.
    if (fsync(documents.get()) != 0)
        return fail(error, errnoMessage("cannot write the folder " + path + " to disk"));
    for (const std::string& name : folders)
        if (unlinkat(documents.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOTEMPTY && errno != EEXIST
            && errno != ENOENT)
            return fail(error, errnoMessage("cannot remove the empty folder " + path + "/" + name));
    return true;
}

// kMigrations[i] takes format i + 1 to i + 2.
constexpr std::array<Migration, kFormatVersion - 1> kMigrations{addAutomaticAndPinnedColumns, addSeenStateColumns,
                                                                addReplacementColumns, addRecords,
                                                                moveLogsBesideFolders};

bool hasTables(SqliteDatabase& database)
{
    SqliteStatement query(database.handle(), "SELECT 1 FROM sqlite_schema LIMIT 1");
    return query.step() != SQLITE_DONE;
}

} // namespace

std::span<const Migration> migrations()
{
    return kMigrations;
}

bool prepareFormat(SqliteDatabase& database, std::span<const Migration> migrationSteps, std::string* error)
{
    const int target = static_cast<int>(migrationSteps.size()) + 1;
    if (!database.execute("BEGIN IMMEDIATE")) {
        return fail(error, "cannot write the version index: " + database.lastError());
    }
    const auto refuse = [&](std::string message) {
        database.execute("ROLLBACK");
        return fail(error, std::move(message));
    };
    const std::int64_t format = database.integer("PRAGMA user_version");
    const std::int64_t application = database.integer("PRAGMA application_id");
    if (format < 0 || application < 0)
        return refuse("cannot read the version index: " + database.lastError());
    if (format == 0 && application == 0 && !hasTables(database)) {
        const std::string setup = std::string(kRecordsTable) + kSchema
                                + "PRAGMA application_id = " + std::to_string(kApplicationId)
                                + "; PRAGMA user_version = " + std::to_string(target) + ";";
        if (!database.execute(setup.c_str()))
            return refuse("cannot create the version index: " + database.lastError());
    } else if (application != kApplicationId || format == 0) {
        return refuse("the file is not a version index of this application");
    } else if (format > target) {
        return refuse("the version index has format " + std::to_string(format) + ", newer than this release knows ("
                      + std::to_string(target) + ")");
    } else if (format < target) {
        for (auto step = static_cast<std::size_t>(format - 1); step < migrationSteps.size(); ++step) {
            std::string reason;
            if (!migrationSteps[step](database, &reason))
                return refuse("cannot upgrade the version index from format " + std::to_string(step + 1) + ": "
                              + (reason.empty() ? database.lastError() : reason));
        }
        if (!database.execute(("PRAGMA user_version = " + std::to_string(target)).c_str()))
            return refuse("cannot upgrade the version index: " + database.lastError());
    }
    if (!database.execute("COMMIT"))
        return refuse("cannot write the version index: " + database.lastError());
    return true;
}

} // namespace strataloom::store
