#include "Sqlite.h"

namespace strataloom {

SqliteStatement::SqliteStatement(sqlite3* database, const char* sql, bool persistent)
{
    const unsigned flags = persistent ? SQLITE_PREPARE_PERSISTENT : 0;
    if (sqlite3_prepare_v3(database, sql, -1, flags, &m_statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}

SqliteStatement& SqliteStatementCache::statement(sqlite3* database, const char* sql)
{
    const std::string_view text(sql);
    auto found = m_statements.find(text);
    if (found == m_statements.end())
        found = m_statements.emplace(text, std::make_unique<SqliteStatement>(database, sql, true)).first;
    return *found->second;
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_statement);
}

SqliteStatement& SqliteStatement::bind(int index, std::int64_t value)
{
    m_bindFailed |= sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK;
    return *this;
}

SqliteStatement& SqliteStatement::bindBlob(int index, const std::string& bytes)
{
    m_bindFailed |= sqlite3_bind_blob64(m_statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT) != SQLITE_OK;
    return *this;
}

SqliteStatement& SqliteStatement::bindText(int index, const std::string& text)
{
    m_bindFailed |=
        sqlite3_bind_text64(m_statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) != SQLITE_OK;
    return *this;
}

SqliteStatement& SqliteStatement::bindNull(int index)
{
    m_bindFailed |= sqlite3_bind_null(m_statement, index) != SQLITE_OK;
    return *this;
}

void SqliteStatement::reset()
{
    // A statement that failed to prepare (an index of another layout) has nothing to reset.
    if (!m_statement)
        return;
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    m_bindFailed = false;
}

int SqliteStatement::step()
{
    if (!m_statement || m_bindFailed)
        return SQLITE_MISUSE;
    return sqlite3_step(m_statement);
}

std::int64_t SqliteStatement::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

std::string SqliteStatement::blob(int column) const
{
    const void* data = sqlite3_column_blob(m_statement, column);
    const int size = sqlite3_column_bytes(m_statement, column);
    if (!data || size <= 0)
        return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

bool SqliteStatement::isNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

SqliteDatabase::SqliteDatabase(const std::string& path, int flags)
{
    if (sqlite3_open_v2(path.c_str(), &m_database, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(m_database);
        m_database = nullptr;
    }
}

SqliteDatabase::~SqliteDatabase()
{
    sqlite3_close_v2(m_database);
}

bool SqliteDatabase::execute(const char* sql)
{
    return sqlite3_exec(m_database, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::int64_t SqliteDatabase::integer(const char* sql)
{
    SqliteStatement query(m_database, sql);
    return query.step() == SQLITE_ROW ? query.integer(0) : -1;
}

std::string SqliteDatabase::lastError() const
{
    return m_database ? sqlite3_errmsg(m_database) : "cannot open the database";
}

} // namespace strataloom
