#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace strataloom {

// A prepared statement; finalized when it goes out of scope.
class SqliteStatement {
public:
    // A statement kept for reuse is prepared with `persistent`.
    SqliteStatement(sqlite3* database, const char* sql, bool persistent = false);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool valid() const { return m_statement != nullptr; }
    SqliteStatement& bind(int index, std::int64_t value);
    SqliteStatement& bindBlob(int index, const std::string& bytes);
    SqliteStatement& bindText(int index, const std::string& text);
    SqliteStatement& bindNull(int index);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    // Runs a statement that returns no rows; true when it completed.
    bool run() { return step() == SQLITE_DONE; }
    // Ready to run again, bindings cleared; also ends the statement's read.
    void reset();

    std::int64_t integer(int column) const;
    std::string blob(int column) const;
    bool isNull(int column) const;

private:
    sqlite3_stmt* m_statement = nullptr;
    bool m_bindFailed = false;
};

// Prepared statements kept for reuse on one connection, found by their SQL
// text: equal texts share one statement wherever they are stored, and a buffer
// reused for another text never finds the statement of the first. A hit costs a
// few string comparisons and no allocation.
class SqliteStatementCache {
public:
    // The kept statement for `sql`, prepared on `database` the first time;
    // check valid().
    SqliteStatement& statement(sqlite3* database, const char* sql);
    // Finalizes every statement, as closing their connection requires.
    void clear() { m_statements.clear(); }

private:
    std::map<std::string, std::unique_ptr<SqliteStatement>, std::less<>> m_statements;
};

// An open database connection; closed when it goes out of scope.
class SqliteDatabase {
public:
    // Opens `path` with SQLITE_OPEN_* `flags`; check valid().
    SqliteDatabase(const std::string& path, int flags);
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    bool valid() const { return m_database != nullptr; }
    sqlite3* handle() const { return m_database; }
    bool execute(const char* sql);
    // The integer a query such as "PRAGMA user_version" gives; -1 when it fails.
    std::int64_t integer(const char* sql);
    std::string lastError() const;

private:
    sqlite3* m_database = nullptr;
};

} // namespace strataloom
