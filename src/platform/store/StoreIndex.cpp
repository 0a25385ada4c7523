// Opening the version store's index: connection settings, schema, format
// upgrades. The tables are described in docs/STORE.md.
#include "StoreIndex.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "IndexReplacement.h"
#include "Leftovers.h"
#include "Paths.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

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
    PRIMARY KEY (document, position)
) WITHOUT ROWID;
)sql";

// Format 2: versions taken by the watcher are marked, and versions can be
// kept from thinning; every earlier version was asked for and is unpinned.
bool addAutomaticAndPinnedColumns(SqliteDatabase& database)
{
    return database.execute("ALTER TABLE versions ADD COLUMN automatic INTEGER NOT NULL DEFAULT 0;"
                            "ALTER TABLE versions ADD COLUMN pinned INTEGER NOT NULL DEFAULT 0");
}

// Format 3: the state of the document's file when it was seen holding a
// version, so that telling an unchanged file needs no read; unknown for
// every earlier version, which are then compared by checksum.
bool addSeenStateColumns(SqliteDatabase& database)
{
    return database.execute("ALTER TABLE versions ADD COLUMN seen_modification_ns INTEGER;"
                            "ALTER TABLE versions ADD COLUMN seen_change_time_ns INTEGER");
}

// Format 4: where a document stood when another document took its place, by
// which, and when, so that its history stays reachable from that place. A
// document that lost its place before is left without one.
bool addReplacementColumns(SqliteDatabase& database)
{
    return database.execute("ALTER TABLE documents ADD COLUMN replaced_path BLOB;"
                            "ALTER TABLE documents ADD COLUMN replaced_by TEXT;"
                            "ALTER TABLE documents ADD COLUMN replaced_ns INTEGER;"
                            "CREATE INDEX documents_replaced_path ON documents(replaced_path)");
}

// kMigrations[i] takes format i + 1 to i + 2.
constexpr std::array<Migration, kFormatVersion - 1> kMigrations{addAutomaticAndPinnedColumns, addSeenStateColumns,
                                                                addReplacementColumns};

// Another process may be creating the store this very moment.
constexpr auto kBusyTimeout = std::chrono::seconds(30);

std::int64_t pragmaValue(SqliteDatabase& database, const char* sql)
{
    SqliteStatement query(database.handle(), sql);
    return query.step() == SQLITE_ROW ? query.integer(0) : -1;
}

bool hasTables(SqliteDatabase& database)
{
    SqliteStatement query(database.handle(), "SELECT 1 FROM sqlite_schema LIMIT 1");
    return query.step() != SQLITE_DONE;
}

// Setting up a new store races with other processes doing the same; the switch
// to write-ahead logging reports "busy" at once instead of waiting.
template <typename Step> bool retryingWhileBusy(SqliteDatabase& database, Step step)
{
    const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
    for (;;) {
        if (step())
            return true;
        const int code = sqlite3_errcode(database.handle()) & 0xff;
        if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the folder and any missing parents; each new folder's entry is made
// durable in its parent, so a store that reported an add survives a power cut
// whole.
bool makeFolder(const std::string& path, std::string* error)
{
    std::vector<std::string> made;
    if (!makeFolders(path, 0700, &made, error))
        return false;
    for (const std::string& folder : made)
        if (!syncFolder(parentOf(folder), error))
            return false;
    return true;
}

bool holdsNoDocuments(const StoreLayout& layout)
{
    UniqueFd folder(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const auto names = folder.valid() ? folderEntries(folder.get()) : std::nullopt;
    return names && names->empty();
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
    const std::int64_t format = pragmaValue(database, "PRAGMA user_version");
    const std::int64_t application = pragmaValue(database, "PRAGMA application_id");
    if (format < 0 || application < 0)
        return refuse("cannot read the version index: " + database.lastError());
    if (format == 0 && application == 0 && !hasTables(database)) {
        const std::string setup = std::string(kSchema) + "PRAGMA application_id = " + std::to_string(kApplicationId)
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
            if (!migrationSteps[step](database))
                return refuse("cannot upgrade the version index from format " + std::to_string(step + 1) + ": "
                              + database.lastError());
        }
        if (!database.execute(("PRAGMA user_version = " + std::to_string(target)).c_str()))
            return refuse("cannot upgrade the version index: " + database.lastError());
    }
    if (!database.execute("COMMIT"))
        return refuse("cannot write the version index: " + database.lastError());
    return true;
}

StoreIndex::StoreIndex(const StoreLayout& layout)
    : m_layout(layout)
{
}

StoreIndex::~StoreIndex()
{
    close();
}

std::unique_ptr<SqliteDatabase> StoreIndex::open(int flags, std::string* error)
{
    auto database = std::make_unique<SqliteDatabase>(m_layout.indexPath(), flags);
    if (!database->valid()) {
        fail(error, "cannot open the version index " + m_layout.indexPath() + ": " + database->lastError());
        return nullptr;
    }
    sqlite3_busy_timeout(database->handle(), static_cast<int>(kBusyTimeout / std::chrono::milliseconds(1)));
    if (flags & SQLITE_OPEN_READWRITE) {
        // The log stays between runs, so that read-only openers find it.
        int persistWal = 1;
        sqlite3_file_control(database->handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &persistWal);
    }
    return database;
}

StoreIndex::State StoreIndex::openForReading(std::string* error)
{
    if (m_database && !replaced())
        return State::Ready;
    return openExisting(false, error);
}

StoreIndex::State StoreIndex::openExisting(bool writable, std::string* error)
{
    if (m_database && (m_writable || !writable) && !replaced())
        return State::Ready;
    close();
    const std::string path = m_layout.indexPath();
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return State::Absent;
        fail(error, errnoMessage("cannot examine the version index " + path));
        return State::Failed;
    }
    auto database = open(writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY, error);
    if (!database)
        return State::Failed;
    if (writable && !database->execute("PRAGMA foreign_keys=ON")) {
        fail(error, "cannot set up the version index " + path + ": " + database->lastError());
        return State::Failed;
    }
    std::int64_t application = pragmaValue(*database, "PRAGMA application_id");
    if (application < 0 && !writable && sqlite3_extended_errcode(database->handle()) == SQLITE_READONLY_ROLLBACK) {
        // A writer died in the middle of a transaction, before the log was set
        // up: the index must be rolled back before anyone can read it, which
        // only a writable connection can do.
        database.reset();
        auto recovering = open(SQLITE_OPEN_READWRITE, nullptr);
        if (!recovering || pragmaValue(*recovering, "PRAGMA application_id") < 0) {
            fail(error, "the version index " + path
                            + " must be recovered from an interrupted write, which needs write access to it");
            return State::Failed;
        }
        recovering.reset();
        database = open(SQLITE_OPEN_READONLY, error);
        if (!database)
            return State::Failed;
        application = pragmaValue(*database, "PRAGMA application_id");
    }
    // Both numbers from one read: an add creating the store sets them together,
    // and one read before and one after would see a half-made index.
    std::int64_t format = -1;
    if (application >= 0) {
        SqliteStatement header(database->handle(), "SELECT * FROM pragma_application_id, pragma_user_version");
        const bool read = header.step() == SQLITE_ROW;
        application = read ? header.integer(0) : -1;
        format = read ? header.integer(1) : -1;
    }
    if (application < 0 || format < 0) {
        fail(error, "cannot read the version index " + path + ": " + database->lastError());
        return State::Failed;
    }
    if (application == 0 && format == 0)
        return State::Absent; // being created by an add right now
    if (application != kApplicationId) {
        fail(error, "the file " + path + " is not a version index of this application");
        return State::Failed;
    }
    if (format > kFormatVersion || format < 1) {
        fail(error, "the version index " + path + " is not in a format this version knows (format "
                        + std::to_string(format) + ")");
        return State::Failed;
    }
    if (format < kFormatVersion) {
        // An older format is upgraded once, by whoever opens it first; reading
        // it as it is would need every query in two forms.
        database.reset();
        if (!upgrade(error))
            return State::Failed;
        return openExisting(writable, error);
    }
    if (!noteOpened(&status)) {
        database.reset();
        return openExisting(writable, error);
    }
    m_database = std::move(database);
    m_writable = writable;
    return State::Ready;
}

bool StoreIndex::upgrade(std::string* error)
{
    auto database = open(SQLITE_OPEN_READWRITE, nullptr);
    if (!database)
        return fail(error, "the version index " + m_layout.indexPath()
                               + " is of an older format and must be upgraded, which needs write access to it");
    SqliteDatabase& db = *database;
    std::string reason;
    if (!retryingWhileBusy(db, [&] { return prepareFormat(db, migrations(), &reason); }))
        return fail(error, "cannot upgrade the version index " + m_layout.indexPath() + ": "
                               + (reason.empty() ? db.lastError() : reason));
    return true;
}

bool StoreIndex::openForWriting(std::string* error)
{
    if (m_database && m_writable && !replaced())
        return true;
    close();
    for (const std::string& folder : {m_layout.location(), m_layout.documentsFolder()})
        if (!makeFolder(folder, error))
            return false;
    struct stat status {};
    const bool creating = lstat(m_layout.indexPath().c_str(), &status) != 0 && errno == ENOENT;
    // A fresh index beside stored versions would disown them all.
    if (creating && !holdsNoDocuments(m_layout))
        return fail(error, "the version store " + m_layout.location()
                               + " holds versions but has lost its index; run 'strataloom-cli check --repair' to "
                                 "rebuild it");
    auto database = open(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    if (!database)
        return false;
    SqliteDatabase& db = *database;
    std::string reason;
    const bool ready = retryingWhileBusy(db, [&] { return db.execute("PRAGMA journal_mode=WAL"); })
                    && db.execute("PRAGMA synchronous=FULL") && db.execute("PRAGMA foreign_keys=ON")
                    && retryingWhileBusy(db, [&] { return prepareFormat(db, migrations(), &reason); });
    if (!ready) {
        fail(error, "cannot set up the version index " + m_layout.indexPath() + ": "
                        + (reason.empty() ? db.lastError() : reason));
        return false;
    }
    // SQLite makes its log's name durable, not the index's own.
    if (creating && !syncFolder(m_layout.location(), error))
        return false;
    if (!noteOpened(creating ? nullptr : &status)) {
        database.reset();
        return openForWriting(error);
    }
    m_database = std::move(database);
    m_writable = true;
    removeDeadTemporaryFiles(m_layout);
    return true;
}

StoreIndex::Statement StoreIndex::statement(const char* sql)
{
    return Statement(m_statements.statement(m_database->handle(), sql));
}

bool StoreIndex::beginReading()
{
    auto begin = statement("BEGIN");
    return begin.valid() && begin->run();
}

bool StoreIndex::beginWriting()
{
    {
        auto begin = statement("BEGIN IMMEDIATE");
        if (!begin.valid() || !begin->run())
            return false;
    }
    // Checked once the write lock is held: a repair renames its new index into
    // place without ever locking the old one, so nothing else would stop this
    // transaction from writing into the index set aside.
    if (!replaced())
        return true;
    m_database->execute("ROLLBACK");
    reportReplaced(*m_database);
    return false;
}

bool StoreIndex::commit()
{
    auto commit = statement("COMMIT");
    return commit.valid() && commit->run();
}

void StoreIndex::rollback()
{
    m_database->execute("ROLLBACK");
}

void StoreIndex::close()
{
    m_statements.clear();
    m_database.reset();
    m_writable = false;
    ++m_generation;
}

bool StoreIndex::replaced() const
{
    return fileAt(m_layout.indexPath()) != m_opened;
}

bool StoreIndex::noteOpened(const struct stat* before)
{
    const auto now = fileAt(m_layout.indexPath());
    if (!now || (before && FileIdentity::of(*before) != *now))
        return false;
    m_opened = now;
    return true;
}

} // namespace strataloom::store
