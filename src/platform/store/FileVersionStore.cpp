#include "FileVersionStore.h"
#include "ContentHash.h"
#include "FileDescriptor.h"
#include "Sqlite.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace strataloom {

namespace {

// Bumped whenever the tables or the folder layout change; see docs/STORE.md.
constexpr int kFormatVersion = 1;
constexpr std::int64_t kApplicationId = 0x53544c4d; // "STLM"
constexpr const char* kDocumentIdAttribute = "user.strataloom.id";
constexpr std::size_t kIdLength = 32;
// Large enough to move big files in few calls, small enough to stay in cache
// between reading, hashing and writing.
constexpr std::size_t kCopyBufferSize = 256 * 1024;
// A temporary file untouched for this long whose writer holds no lock on it
// was left by a process that died.
constexpr std::time_t kLeftoverAge = 10 * 60;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS documents (
    id INTEGER PRIMARY KEY,
    uuid TEXT NOT NULL UNIQUE,
    path BLOB UNIQUE,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    created_ns INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS versions (
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
    PRIMARY KEY (document, position)
) WITHOUT ROWID;
)sql";

std::string systemError(const std::string& what, int error = errno)
{
    return what + ": " + std::strerror(error);
}

std::int64_t nowNs()
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string randomId()
{
    unsigned char bytes[kIdLength / 2];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got > 0)
            filled += static_cast<std::size_t>(got);
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

bool isId(const std::string& text)
{
    if (text.size() != kIdLength)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

std::optional<std::string> realPath(const std::string& path)
{
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved)
        return std::nullopt;
    return std::string(resolved.get());
}

// The path a document is known by: its canonical path, symlinks resolved. A
// document that no longer exists is looked up by its folder's canonical path
// and its name.
std::string lookupPath(const FileUrl& item)
{
    if (auto resolved = realPath(item.path()))
        return *resolved;
    const FileUrl parent = item.deletingLastPathComponent();
    if (auto folder = realPath(parent.path()))
        return (*folder == "/" ? "" : *folder) + "/" + item.lastPathComponent();
    return item.path();
}

std::optional<std::string> documentIdOf(const std::string& path)
{
    char buffer[kIdLength + 1];
    const ssize_t length = getxattr(path.c_str(), kDocumentIdAttribute, buffer, sizeof buffer);
    if (length < 0)
        return std::nullopt;
    std::string id(buffer, static_cast<std::size_t>(length));
    return isId(id) ? std::optional<std::string>(id) : std::nullopt;
}

struct Document {
    std::int64_t rowId = 0;
    std::string uuid;
    std::optional<std::string> recordedPath;
    // The file that stood at the recorded path at the last add.
    std::int64_t device = 0;
    std::int64_t inode = 0;
};

// The document as found on disk: its canonical path and the identity it
// carries, if any.
struct Item {
    std::string path;
    std::optional<std::string> id;
    std::int64_t device = 0;
    std::int64_t inode = 0;
};

std::optional<Item> examine(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return Item{path, documentIdOf(path), static_cast<std::int64_t>(status.st_dev),
                static_cast<std::int64_t>(status.st_ino)};
}

std::int64_t changeTimeNs(const struct stat& status)
{
    return static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1'000'000'000 + status.st_ctim.tv_nsec;
}

} // namespace

class FileVersionStore::Index {
public:
    enum class State { Missing, Ready, Failed };

    explicit Index(const std::string& location)
        : m_location(location)
        , m_databasePath(location + "/index.sqlite")
    {
    }
    ~Index() { resetConnection(); }
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    // Reused by every add of this store object.
    char* copyBuffer() { return m_copyBuffer.get(); }

    const std::string& location() const { return m_location; }
    std::string storedFilePath(const std::string& uuid, const std::string& file) const
    {
        return m_location + "/documents/" + uuid + "/" + file;
    }

    // Opens the index for reading without creating anything.
    State openForReading()
    {
        if (m_database)
            return State::Ready;
        struct stat status {};
        if (stat(m_databasePath.c_str(), &status) != 0)
            return errno == ENOENT ? State::Missing : State::Failed;
        auto database = std::make_unique<SqliteDatabase>(m_databasePath, SQLITE_OPEN_READONLY);
        if (!database->valid())
            return State::Failed;
        sqlite3_busy_timeout(database->handle(), 30'000);
        const int format = formatOf(*database);
        if (format == 0)
            return State::Missing; // being created by another process right now
        if (format != kFormatVersion)
            return State::Failed;
        m_database = std::move(database);
        return State::Ready;
    }

    // Creates the store as needed and opens the index for writing.
    bool openForWriting(std::string& error)
    {
        if (m_database && m_writable)
            return true;
        resetConnection();
        for (const std::string& folder : {m_location, m_location + "/tmp", m_location + "/documents"})
            if (!makeFolder(folder, error))
                return false;
        auto database = std::make_unique<SqliteDatabase>(m_databasePath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (!database->valid()) {
            error = "cannot open the version index " + m_databasePath + ": " + database->lastError();
            return false;
        }
        sqlite3_busy_timeout(database->handle(), 30'000);
        int persistWal = 1;
        sqlite3_file_control(database->handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &persistWal);
        SqliteDatabase& db = *database;
        const bool ready = retryingWhileBusy(db, [&] { return db.execute("PRAGMA journal_mode=WAL"); })
                        && db.execute("PRAGMA synchronous=NORMAL") && db.execute("PRAGMA foreign_keys=ON")
                        && retryingWhileBusy(db, [&] { return createSchema(db); });
        if (!ready) {
            error = "cannot set up the version index " + m_databasePath + ": " + database->lastError();
            return false;
        }
        m_database = std::move(database);
        m_writable = true;
        removeLeftovers();
        return true;
    }

    SqliteDatabase& database() { return *m_database; }

    // A cached statement, reset when the returned handle goes away so that no
    // read stays open between calls.
    class Use {
    public:
        explicit Use(SqliteStatement& statement)
            : m_statement(statement)
        {
        }
        ~Use() { m_statement.reset(); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        SqliteStatement* operator->() { return &m_statement; }
        SqliteStatement& operator*() { return m_statement; }
        bool valid() const { return m_statement.valid(); }

    private:
        SqliteStatement& m_statement;
    };

    Use statement(const char* sql)
    {
        auto& slot = m_statements[sql];
        if (!slot)
            slot = std::make_unique<SqliteStatement>(m_database->handle(), sql, true);
        return Use(*slot);
    }

    // Finds the document `item` belongs to. The identity attribute wins, so a
    // renamed or moved document keeps its versions, unless the document it
    // names still stands at its recorded path with that same identity: then
    // `item` is a copy made with the attribute, a document of its own. The
    // canonical path is the fallback, which keeps versions across saves that
    // replace the file.
    std::optional<std::optional<Document>> find(const Item& item)
    {
        if (item.id) {
            auto byId = statement("SELECT id, uuid, path, device, inode FROM documents WHERE uuid = ?");
            if (!byId.valid())
                return std::nullopt;
            byId->bindText(1, *item.id);
            const int result = byId->step();
            if (result == SQLITE_ROW) {
                Document document = read(*byId);
                if (document.recordedPath == item.path || !isCopy(document, item))
                    return document;
            } else if (result != SQLITE_DONE) {
                return std::nullopt;
            }
        }
        auto byPath = statement("SELECT id, uuid, path, device, inode FROM documents WHERE path = ?");
        if (!byPath.valid())
            return std::nullopt;
        byPath->bindBlob(1, item.path);
        const int result = byPath->step();
        if (result == SQLITE_ROW)
            return std::optional<Document>(read(*byPath));
        if (result == SQLITE_DONE)
            return std::optional<Document>();
        return std::nullopt;
    }

    // The document's versions in the order they were added, inside the
    // caller's read transaction.
    bool readVersions(const Document& document, std::vector<FileVersion>& versions)
    {
        auto query = statement(
            "SELECT file, size, inode, change_time_ns, checksum, modification_s, modification_ns, creation_s, "
            "creation_ns FROM versions WHERE document = ? ORDER BY position");
        if (!query.valid())
            return false;
        query->bind(1, document.rowId);
        int result;
        while ((result = query->step()) == SQLITE_ROW) {
            StoredFingerprint fingerprint;
            fingerprint.size = static_cast<std::uint64_t>(query->integer(1));
            fingerprint.inode = static_cast<std::uint64_t>(query->integer(2));
            fingerprint.changeTimeNs = query->integer(3);
            fingerprint.checksum = query->blob(4);
            FileDates dates;
            dates.modification = {query->integer(5), static_cast<std::uint32_t>(query->integer(6))};
            dates.creation = {query->integer(7), static_cast<std::uint32_t>(query->integer(8))};
            versions.emplace_back(FileUrl::fromPath(storedFilePath(document.uuid, query->blob(0))),
                                  std::move(fingerprint), dates);
        }
        return result == SQLITE_DONE;
    }

    // Write transactions, through statements kept prepared.
    bool beginWriting()
    {
        auto begin = statement("BEGIN IMMEDIATE");
        return begin.valid() && begin->run();
    }
    bool commit()
    {
        auto commit = statement("COMMIT");
        return commit.valid() && commit->run();
    }

    // Records where the document now is, inside a write transaction. Whatever
    // was recorded at its new path was replaced by it.
    bool recordLocation(const Document& document, const Item& item)
    {
        if (document.recordedPath == item.path && document.device == item.device && document.inode == item.inode)
            return true;
        auto release = statement("UPDATE documents SET path = NULL WHERE path = ? AND id <> ?");
        auto move = statement("UPDATE documents SET path = ?, device = ?, inode = ? WHERE id = ?");
        return release.valid() && move.valid() && release->bindBlob(1, item.path).bind(2, document.rowId).run()
            && move->bindBlob(1, item.path).bind(2, item.device).bind(3, item.inode).bind(4, document.rowId).run();
    }

private:
    static Document read(SqliteStatement& row)
    {
        Document document;
        document.rowId = row.integer(0);
        document.uuid = row.blob(1);
        if (!row.isNull(2))
            document.recordedPath = row.blob(2);
        document.device = row.integer(3);
        document.inode = row.integer(4);
        return document;
    }

    static bool isCopy(const Document& document, const Item& item)
    {
        if (!document.recordedPath)
            return false;
        struct stat original {};
        struct stat candidate {};
        if (stat(document.recordedPath->c_str(), &original) != 0 || stat(item.path.c_str(), &candidate) != 0)
            return false;
        if (original.st_dev == candidate.st_dev && original.st_ino == candidate.st_ino)
            return false; // a second link to the same file
        return documentIdOf(*document.recordedPath) == item.id;
    }

    // Setting up a new store races with other processes doing the same; the
    // switch to write-ahead logging reports "busy" at once instead of waiting.
    template <typename Step> static bool retryingWhileBusy(SqliteDatabase& database, Step step)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            if (step())
                return true;
            const int code = sqlite3_errcode(database.handle()) & 0xff;
            if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    static int formatOf(SqliteDatabase& database)
    {
        SqliteStatement query(database.handle(), "PRAGMA user_version");
        return query.step() == SQLITE_ROW ? static_cast<int>(query.integer(0)) : -1;
    }

    bool createSchema(SqliteDatabase& database)
    {
        if (!database.execute("BEGIN IMMEDIATE"))
            return false;
        const int format = formatOf(database);
        bool ok = format == kFormatVersion;
        if (format == 0) {
            const std::string setup = std::string(kSchema) + "PRAGMA application_id = " + std::to_string(kApplicationId)
                                    + "; PRAGMA user_version = " + std::to_string(kFormatVersion) + ";";
            ok = database.execute(setup.c_str());
        }
        if (ok && database.execute("COMMIT"))
            return true;
        database.execute("ROLLBACK");
        return false;
    }

    static bool makeFolder(const std::string& path, std::string& error)
    {
        if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
            return true;
        if (errno == ENOENT) {
            const auto slash = path.find_last_of('/');
            if (slash != std::string::npos && slash > 0 && makeFolder(path.substr(0, slash), error)
                && (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST))
                return true;
        }
        if (error.empty())
            error = systemError("cannot create the folder " + path);
        return false;
    }

    // Temporary files of adds that were killed half-way. A live writer holds a
    // lock on its file, so only dead ones are taken.
    void removeLeftovers()
    {
        const std::string folder = m_location + "/tmp";
        UniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folderFd.valid())
            return;
        DIR* listing = fdopendir(dup(folderFd.get()));
        if (!listing)
            return;
        std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, closedir);
        const std::time_t now = std::time(nullptr);
        while (const struct dirent* entry = readdir(listing)) {
            if (entry->d_name[0] == '.')
                continue;
            struct stat status {};
            if (fstatat(folderFd.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)
                || now - status.st_mtime < kLeftoverAge)
                continue;
            UniqueFd file(openat(folderFd.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (file.valid() && flock(file.get(), LOCK_EX | LOCK_NB) == 0)
                unlinkat(folderFd.get(), entry->d_name, 0);
        }
    }

    void resetConnection()
    {
        m_statements.clear();
        m_database.reset();
        m_writable = false;
    }

    std::string m_location;
    std::string m_databasePath;
    std::unique_ptr<SqliteDatabase> m_database;
    std::map<const char*, std::unique_ptr<SqliteStatement>> m_statements;
    bool m_writable = false;
    std::unique_ptr<char[]> m_copyBuffer{new char[kCopyBufferSize]};
};

FileVersionStore::FileVersionStore(std::string location)
    : m_location(std::move(location))
    , m_index(std::make_unique<Index>(m_location))
{
}

FileVersionStore::~FileVersionStore() = default;

std::string FileVersionStore::defaultLocation()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/strataloom";
    std::string home;
    if (const char* value = std::getenv("HOME"); value && value[0])
        home = value;
    else if (const struct passwd* user = getpwuid(getuid()))
        home = user->pw_dir;
    return home + "/.local/share/strataloom";
}

std::optional<std::vector<FileVersion>> FileVersionStore::otherVersionsOfItem(const FileUrl& item)
{
    switch (m_index->openForReading()) {
    case Index::State::Missing:
        return std::vector<FileVersion>();
    case Index::State::Failed:
        return std::nullopt;
    case Index::State::Ready:
        break;
    }
    const std::string path = lookupPath(item);
    const Item identity = examine(path).value_or(Item{path, std::nullopt, 0, 0});

    SqliteDatabase& database = m_index->database();
    if (!database.execute("BEGIN"))
        return std::nullopt;
    const auto found = m_index->find(identity);
    if (!found || !*found) {
        database.execute("COMMIT");
        return found ? std::optional<std::vector<FileVersion>>(std::vector<FileVersion>()) : std::nullopt;
    }
    const Document& document = **found;
    std::vector<FileVersion> versions;
    const bool read = m_index->readVersions(document, versions);
    database.execute("COMMIT");
    if (!read)
        return std::nullopt;
    // The very file recorded, found under a new name: remember the name, so
    // that a later save replacing the file there still finds its versions.
    // Only where the store may be written; reading never depends on it.
    if (document.recordedPath != identity.path && document.device == identity.device
        && document.inode == identity.inode) {
        std::string ignored;
        if (m_index->openForWriting(ignored) && m_index->database().execute("BEGIN IMMEDIATE")) {
            if (m_index->recordLocation(document, identity))
                m_index->database().execute("COMMIT");
            else
                m_index->database().execute("ROLLBACK");
        }
    }
    return versions;
}

std::optional<FileVersion> FileVersionStore::currentVersionOfItem(const FileUrl& item)
{
    const auto resolved = realPath(item.path());
    if (!resolved)
        return std::nullopt;
    return FileVersion(FileUrl::fromPath(*resolved));
}

std::optional<FileVersion> FileVersionStore::addVersionOfItem(const FileUrl& item, const FileUrl& contents,
                                                              std::string* error)
{
    std::string reason;
    auto fail = [&](std::string message) -> std::optional<FileVersion> {
        if (error)
            *error = std::move(message);
        return std::nullopt;
    };

    const auto resolved = realPath(item.path());
    if (!resolved)
        return fail(systemError("cannot find the document " + item.path()));
    struct stat itemStatus {};
    if (stat(resolved->c_str(), &itemStatus) != 0)
        return fail(systemError("cannot examine the document " + *resolved));
    if (!S_ISREG(itemStatus.st_mode))
        return fail("the document " + *resolved + " is not a regular file");
    const Item identity{*resolved, documentIdOf(*resolved), static_cast<std::int64_t>(itemStatus.st_dev),
                        static_cast<std::int64_t>(itemStatus.st_ino)};

    UniqueFd source(open(contents.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat sourceStatus {};
    if (!source.valid() || fstat(source.get(), &sourceStatus) != 0)
        return fail(systemError("cannot read the contents file " + contents.path()));
    if (!S_ISREG(sourceStatus.st_mode))
        return fail("the contents file " + contents.path() + " is not a regular file");
    const std::optional<FileDates> dates = readDates(source.get());
    if (!dates)
        return fail(systemError("cannot read the dates of " + contents.path()));

    if (!m_index->openForWriting(reason))
        return fail(reason);
    SqliteDatabase& database = m_index->database();
    auto databaseFailure = [&](const std::string& what) {
        std::string message = what + ": " + database.lastError();
        database.execute("ROLLBACK");
        return fail(message);
    };

    // The document's record comes first, in its own short transaction, so the
    // stored file can go straight into the document's folder.
    auto found = m_index->find(identity);
    if (!found)
        return databaseFailure("cannot read the version index");
    if (!*found) {
        if (!database.execute("BEGIN IMMEDIATE"))
            return databaseFailure("cannot write the version index");
        found = m_index->find(identity);
        if (!found)
            return databaseFailure("cannot read the version index");
        if (!*found) {
            Document document{0, randomId(), identity.path, identity.device, identity.inode};
            auto insert = m_index->statement(
                "INSERT INTO documents (uuid, path, device, inode, created_ns) VALUES (?, ?, ?, ?, ?)");
            if (!insert.valid()
                || !insert->bindText(1, document.uuid)
                        .bindBlob(2, identity.path)
                        .bind(3, identity.device)
                        .bind(4, identity.inode)
                        .bind(5, nowNs())
                        .run())
                return databaseFailure("cannot record the document");
            document.rowId = sqlite3_last_insert_rowid(database.handle());
            *found = document;
        }
        if (!database.execute("COMMIT"))
            return databaseFailure("cannot write the version index");
    }
    const Document document = **found;
    // Tags the document so its versions follow it when it is renamed or moved.
    // A document that cannot carry the tag keeps them by its path alone.
    if (identity.id != document.uuid)
        setxattr(identity.path.c_str(), kDocumentIdAttribute, document.uuid.data(), document.uuid.size(), 0);

    const std::string fileName = randomId();
    const std::string temporary = m_index->location() + "/tmp/" + fileName + ".part";
    const std::string stored = m_index->storedFilePath(document.uuid, fileName);
    UniqueFd target(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target.valid())
        return fail(systemError("cannot create a file in the version store"));
    flock(target.get(), LOCK_EX);
    // The document's folder is made on its first version.
    const auto putInPlace = [&] {
        if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, stored.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        const std::string folder = m_index->location() + "/documents/" + document.uuid;
        return errno == ENOENT && (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)
            && renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, stored.c_str(), RENAME_NOREPLACE) == 0;
    };

    const std::optional<std::string> hash =
        copyChecksummed(source.get(), target.get(), m_index->copyBuffer(), kCopyBufferSize);
    struct stat storedStatus {};
    if (!hash || !setDates(target.get(), *dates) || fchmod(target.get(), (sourceStatus.st_mode & 0777) | 0600) != 0
        || !putInPlace()) {
        const int cause = errno;
        unlink(temporary.c_str());
        return fail(systemError("cannot copy " + contents.path() + " into the version store", cause));
    }
    // The change time is taken after the rename, which sets it.
    if (fstat(target.get(), &storedStatus) != 0) {
        const int cause = errno;
        unlink(stored.c_str());
        return fail(systemError("cannot examine the stored copy", cause));
    }

    StoredFingerprint fingerprint;
    fingerprint.size = static_cast<std::uint64_t>(storedStatus.st_size);
    fingerprint.inode = static_cast<std::uint64_t>(storedStatus.st_ino);
    fingerprint.changeTimeNs = changeTimeNs(storedStatus);
    fingerprint.checksum = *hash;

    auto recordFailure = [&](const std::string& what) {
        unlink(stored.c_str());
        return databaseFailure(what);
    };
    if (!m_index->beginWriting())
        return recordFailure("cannot write the version index");
    if (!m_index->recordLocation(document, identity))
        return recordFailure("cannot record the document's new path");
    auto insert = m_index->statement(
        "INSERT INTO versions (document, position, file, size, inode, change_time_ns, checksum, modification_s, "
        "modification_ns, creation_s, creation_ns, added_ns) VALUES (?1, (SELECT COALESCE(MAX(position), -1) + 1 "
        "FROM versions WHERE document = ?1), ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    if (!insert.valid()
        || !insert->bind(1, document.rowId)
                .bindText(2, fileName)
                .bind(3, static_cast<std::int64_t>(fingerprint.size))
                .bind(4, static_cast<std::int64_t>(fingerprint.inode))
                .bind(5, fingerprint.changeTimeNs)
                .bindBlob(6, fingerprint.checksum)
                .bind(7, dates->modification.seconds)
                .bind(8, dates->modification.nanoseconds)
                .bind(9, dates->creation.seconds)
                .bind(10, dates->creation.nanoseconds)
                .bind(11, nowNs())
                .run())
        return recordFailure("cannot record the version");
    if (!m_index->commit())
        return recordFailure("cannot write the version index");
    return FileVersion(FileUrl::fromPath(stored), std::move(fingerprint), *dates);
}

std::optional<FileVersion> FileVersionStore::saveVersionOfItem(const FileUrl& item, std::string* error)
{
    return addVersionOfItem(item, item, error);
}

} // namespace strataloom
