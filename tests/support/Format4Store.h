#pragma once

// A store as the release before records wrote it: format 4, one whole stored
// file per version, each document's log. Opening it upgrades it, every file
// becoming a whole record: the histories compaction is for.
#include "ContentHash.h"
#include "DocumentLog.h"
#include "FileDescriptor.h"
#include "Nanoseconds.h"
#include "Sqlite.h"
#include "StoreLayout.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::test {

inline constexpr const char* kFormat4Schema = R"sql(
CREATE TABLE documents (id INTEGER PRIMARY KEY, uuid TEXT NOT NULL UNIQUE, path BLOB UNIQUE, device INTEGER NOT NULL,
    inode INTEGER NOT NULL, created_ns INTEGER NOT NULL, replaced_path BLOB, replaced_by TEXT, replaced_ns INTEGER);
CREATE INDEX documents_replaced_path ON documents(replaced_path);
CREATE TABLE versions (document INTEGER NOT NULL REFERENCES documents(id), position INTEGER NOT NULL,
    file TEXT NOT NULL, size INTEGER NOT NULL, inode INTEGER NOT NULL, change_time_ns INTEGER NOT NULL,
    checksum BLOB NOT NULL, modification_s INTEGER NOT NULL, modification_ns INTEGER NOT NULL,
    creation_s INTEGER NOT NULL, creation_ns INTEGER NOT NULL, added_ns INTEGER NOT NULL,
    automatic INTEGER NOT NULL DEFAULT 0, pinned INTEGER NOT NULL DEFAULT 0, seen_modification_ns INTEGER,
    seen_change_time_ns INTEGER, PRIMARY KEY (document, position)) WITHOUT ROWID;
PRAGMA application_id = 1398033485;
PRAGMA user_version = 4;
)sql";

// Writes the store at `location` with the document `path` (which need not
// exist) holding `contents` as automatic versions, oldest first.
inline void writeFormat4Store(const std::string& location, const std::string& path,
                              const std::vector<std::string>& contents)
{
    namespace fs = std::filesystem;
    const store::StoreLayout layout(location);
    const std::string uuid = store::randomId();
    const std::string folder = *layout.documentFolder(uuid);
    fs::create_directories(folder);
    SqliteDatabase database(layout.indexPath(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_TRUE(database.execute(kFormat4Schema)) << database.lastError();
    SqliteStatement document(database.handle(),
                             "INSERT INTO documents (uuid, path, device, inode, created_ns) VALUES (?, ?, 0, 0, ?)");
    ASSERT_TRUE(document.bindText(1, uuid).bindBlob(2, path).bind(3, nowNs()).run()) << database.lastError();
    const UniqueFd documentsFd(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto log = store::DocumentLog::open(documentsFd.get(), uuid);
    ASSERT_TRUE(log);
    log->recordCreation(nowNs());
    SqliteStatement version(database.handle(),
                            "INSERT INTO versions (document, position, file, size, inode, change_time_ns, checksum, "
                            "modification_s, modification_ns, creation_s, creation_ns, added_ns, automatic) VALUES "
                            "(1, ?, ?, ?, ?, ?, ?, ?, 0, ?, 0, ?, 1)");
    for (std::size_t position = 0; position < contents.size(); ++position) {
        const std::string file = store::randomId();
        writeFile(folder + "/" + file, contents[position]);
        const UniqueFd stored(open((folder + "/" + file).c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        ASSERT_EQ(fstat(stored.get(), &status), 0);
        const auto checksum = checksumOfFile(stored.get());
        ASSERT_TRUE(checksum);
        const std::int64_t seconds = 1'700'000'000 + static_cast<std::int64_t>(position) * 60;
        const std::int64_t added = nowNs() - static_cast<std::int64_t>(contents.size() - position) * 1'000'000;
        ASSERT_TRUE(version.bind(1, static_cast<std::int64_t>(position))
                        .bindText(2, file)
                        .bind(3, status.st_size)
                        .bind(4, static_cast<std::int64_t>(status.st_ino))
                        .bind(5, nanoseconds(status.st_ctim))
                        .bindBlob(6, *checksum)
                        .bind(7, seconds)
                        .bind(8, seconds)
                        .bind(9, added)
                        .run())
            << database.lastError();
        version.reset();
        store::LoggedVersion logged;
        logged.file = file;
        logged.size = static_cast<std::uint64_t>(status.st_size);
        logged.checksum = *checksum;
        logged.dates.modification = {seconds, 0};
        logged.dates.creation = {seconds, 0};
        logged.addedNs = added;
        logged.automatic = true;
        log->recordVersion(logged);
    }
    ASSERT_TRUE(log->write());
    // Where format 4 kept it.
    fs::rename(*layout.logPath(uuid), folder + "/" + store::StoreLayout::kFolderLogName);
}

} // namespace strataloom::test
