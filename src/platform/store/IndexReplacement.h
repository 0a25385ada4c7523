#pragma once

#include "Sqlite.h"

#include <optional>
#include <string>

#include <sys/stat.h>

// `check --repair` renames a new index into place of the one other processes
// have open; they tell by the file they opened no longer being the one at the
// index's path.
namespace strataloom::store {

// Which file stands at a path: its device and inode.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;

    static FileIdentity of(const struct stat& status) { return {status.st_dev, status.st_ino}; }
    bool operator==(const FileIdentity&) const = default;
};

// The file at `path`, not following a final link; empty when there is none.
std::optional<FileIdentity> fileAt(const std::string& path);

// Leaves the connection's last error saying that its index was replaced, so
// that every caller's message tells why its write failed.
void reportReplaced(SqliteDatabase& database);

} // namespace strataloom::store
