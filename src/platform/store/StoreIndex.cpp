// Opening the version store's index: connection settings, creating the store,
// upgrading its format (StoreFormat.cpp), kept statements and transactions.
#include "StoreIndex.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "IndexReplacement.h"
#include "Leftovers.h"
#include "Paths.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

// The write-ahead log, kept between runs, is cut back to this after each
// checkpoint: left at its largest it would take megabytes beside a small store.
constexpr const char* kJournalSizeLimit = "PRAGMA journal_size_limit=524288";

// A log past this is folded into the index when a writer closes, waiting at
// most kLogTrimWait for readers to let go.
constexpr off_t kLogTrimBytes = 1024 * 1024;
constexpr auto kLogTrimWait = std::chrono::seconds(1);

// Another process may be creating the store this very moment.
constexpr auto kBusyTimeout = std::chrono::seconds(30);

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
        // Every commit is durable in the log already (synchronous=FULL); a
        // checkpoint on close would cost each command two more barriers, and
        // the log's cut back to nothing a third on the next write. The
        // automatic checkpoint keeps the log bounded.
        sqlite3_db_config(database->handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
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
    if (writable && !(database->execute("PRAGMA foreign_keys=ON") && database->execute(kJournalSizeLimit))) {
        fail(error, "cannot set up the version index " + path + ": " + database->lastError());
        return State::Failed;
    }
    std::int64_t application = database->integer("PRAGMA application_id");
    if (application < 0 && !writable && sqlite3_extended_errcode(database->handle()) == SQLITE_READONLY_ROLLBACK) {
        // A writer died in the middle of a transaction, before the log was set
        // up: the index must be rolled back before anyone can read it, which
        // only a writable connection can do.
        database.reset();
        auto recovering = open(SQLITE_OPEN_READWRITE, nullptr);
        if (!recovering || recovering->integer("PRAGMA application_id") < 0) {
            fail(error, "the version index " + path
                            + " must be recovered from an interrupted write, which needs write access to it");
            return State::Failed;
        }
        recovering.reset();
        database = open(SQLITE_OPEN_READONLY, error);
        if (!database)
            return State::Failed;
        application = database->integer("PRAGMA application_id");
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
    // Pages of 1 KiB: a store of few documents is mostly its index's fixed
    // pages, one per table and index, and a commit logs whole pages. Only a
    // new index takes it; an existing one keeps the size it was made with.
    const bool ready = db.execute("PRAGMA page_size=1024")
                    && retryingWhileBusy(db, [&] { return db.execute("PRAGMA journal_mode=WAL"); })
                    && db.execute("PRAGMA synchronous=FULL") && db.execute("PRAGMA foreign_keys=ON")
                    && db.execute(kJournalSizeLimit)
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
    trimLog(kLogTrimBytes);
    m_database.reset();
    m_writable = false;
    ++m_generation;
}

void StoreIndex::trimLog(off_t above)
{
    // Connections close without a checkpoint, and a command's connection
    // rarely lives long enough for the automatic one to finish: past a few
    // megabytes the log is folded into the index and cut back here, waiting
    // briefly for readers rather than the writers' full timeout.
    struct stat log {};
    if (!m_database || !m_writable || stat((m_layout.indexPath() + "-wal").c_str(), &log) != 0
        || log.st_size < std::max<off_t>(above, 1))
        return;
    sqlite3_busy_timeout(m_database->handle(), static_cast<int>(kLogTrimWait / std::chrono::milliseconds(1)));
    m_database->execute("PRAGMA wal_checkpoint(TRUNCATE)");
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
