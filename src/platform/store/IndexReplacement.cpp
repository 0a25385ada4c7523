// Noticing an index replaced under an open connection.
#include "IndexReplacement.h"

namespace strataloom::store {

namespace {

constexpr const char* kReplacedMessage =
    "the version index was replaced (by 'strataloom-cli check --repair') while this program had it open; nothing "
    "was written to it, try again";

void failWithReplacedMessage(sqlite3_context* context, int, sqlite3_value**)
{
    sqlite3_result_error(context, kReplacedMessage, -1);
}

} // namespace

std::optional<FileIdentity> fileAt(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        return std::nullopt;
    return FileIdentity::of(status);
}

void reportReplaced(SqliteDatabase& database)
{
    // SQLite keeps the message a function fails with as the connection's error.
    sqlite3_create_function_v2(database.handle(), "strataloom_index_replaced", 0, SQLITE_UTF8, nullptr,
                               failWithReplacedMessage, nullptr, nullptr, nullptr);
    database.execute("SELECT strataloom_index_replaced()");
}

} // namespace strataloom::store
