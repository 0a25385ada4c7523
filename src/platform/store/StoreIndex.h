#pragma once

#include "IndexReplacement.h"
#include "Sqlite.h"
#include "StoreLayout.h"

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <sys/stat.h>

// Opening the version store's SQLite index: the connection's settings, the
// tables of the current format, and the upgrade of older formats.
namespace strataloom::store {

// Upgrades an index from format N to N + 1 inside the caller's transaction;
// false, with `error` or else the database's error set, when it cannot.
using Migration = bool (*)(SqliteDatabase& database, std::string* error);

// The upgrades this release knows: kMigrations[i] takes format i + 1 to i + 2,
// so the last one ends at kFormatVersion.
std::span<const Migration> migrations();

// Brings the open database to format `migrationSteps.size() + 1` inside one
// BEGIN IMMEDIATE transaction: creates the tables in an empty database, runs the
// steps from its format on, and sets the new number. A database that is not
// ours (another application id, or tables without our format number), or of a
// newer format, is left untouched and refused. A crash or failure part-way
// leaves the format it had.
bool prepareFormat(SqliteDatabase& database, std::span<const Migration> migrationSteps, std::string* error = nullptr);

// The index of one store, opened on demand and kept open; statements prepared
// through it are kept for reuse. `check --repair` may put a new index in place
// of the one open: opening again then opens the new one, and a write
// transaction on the old one fails rather than writing where no one reads.
class StoreIndex {
public:
    enum class State {
        Absent, // no index yet, or one being created by another process now
        Ready,
        Failed,
    };

    explicit StoreIndex(const StoreLayout& layout);
    ~StoreIndex();
    StoreIndex(const StoreIndex&) = delete;
    StoreIndex& operator=(const StoreIndex&) = delete;

    const StoreLayout& layout() const { return m_layout; }

    // Opens the index without creating anything; reading never needs write access.
    State openForReading(std::string* error = nullptr);
    // Creates the store's folders and index as needed, upgrades an older format,
    // and opens the index for writing.
    bool openForWriting(std::string* error = nullptr);
    // Opens an index that must already exist, as store maintenance does: never
    // creating it, read-only unless `writable`.
    State openExisting(bool writable, std::string* error = nullptr);

    SqliteDatabase& database() { return *m_database; }

    // A kept statement, reset when the handle goes away so that no read stays
    // open between calls.
    class Statement {
    public:
        explicit Statement(SqliteStatement& statement)
            : m_statement(statement)
        {
        }
        ~Statement() { m_statement.reset(); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;
        SqliteStatement* operator->() { return &m_statement; }
        SqliteStatement& operator*() { return m_statement; }
        bool valid() const { return m_statement.valid(); }

    private:
        SqliteStatement& m_statement;
    };
    // Kept by the text of `sql`, prepared on first use.
    Statement statement(const char* sql);

    // Transactions through kept statements. beginWriting() fails, with the
    // database's error saying so, when the index open is no longer the one at
    // the store's path.
    bool beginReading();
    bool beginWriting();
    bool commit();
    void rollback();

    // Changes each time the connection is closed or opened anew: row ids read
    // under one generation mean nothing under another.
    std::uint64_t generation() const { return m_generation; }

    // Folds the write-ahead log into the index and cuts it back, however
    // short: a store left at rest then takes what its index holds.
    void foldLog() { trimLog(0); }

private:
    std::unique_ptr<SqliteDatabase> open(int flags, std::string* error);
    // Brings an index of an older format to this release's.
    bool upgrade(std::string* error);
    void close();
    // Folds a write-ahead log of `above` bytes or more into the index and
    // cuts it back.
    void trimLog(off_t above);
    // Whether the file at the index's path is not the one this connection opened.
    bool replaced() const;
    // Notes which file was opened, if the path still names the one `before`
    // found; false when it was replaced meanwhile.
    bool noteOpened(const struct stat* before);

    StoreLayout m_layout;
    std::unique_ptr<SqliteDatabase> m_database;
    SqliteStatementCache m_statements;
    bool m_writable = false;
    std::optional<FileIdentity> m_opened; // the index file the connection opened
    std::uint64_t m_generation = 0;
};

} // namespace strataloom::store
