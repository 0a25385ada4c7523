#include "StoreMaintenance.h"
#include "ContentHash.h"
#include "FileDescriptor.h"
#include "Sqlite.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace strataloom {

namespace {

// The index format and identity attribute this code understands; see docs/STORE.md.
constexpr int kKnownFormat = 1;
constexpr std::int64_t kApplicationId = 0x53544c4d;
constexpr const char* kDocumentIdAttribute = "user.strataloom.id";

std::string systemError(const std::string& what, int error = errno)
{
    return what + ": " + std::strerror(error);
}

bool isId(const std::string& text)
{
    if (text.size() != 32)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// A name that stays inside the folder it is joined to.
bool isPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Entry names of an open folder, without "." and "..".
std::optional<std::vector<std::string>> entriesOf(int folderFd)
{
    const int copy = dup(folderFd);
    if (copy < 0)
        return std::nullopt;
    DIR* listing = fdopendir(copy);
    if (!listing) {
        close(copy);
        return std::nullopt;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, closedir);
    rewinddir(listing);
    std::vector<std::string> names;
    errno = 0;
    while (const struct dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
        errno = 0;
    }
    if (errno != 0)
        return std::nullopt;
    return names;
}

struct VersionRow {
    std::string file;
    std::uint64_t size = 0;
    std::string checksum;
};

struct DocumentRow {
    std::int64_t id = 0;
    std::string uuid;
    std::optional<std::string> path;
    std::int64_t device = 0;
    std::vector<VersionRow> versions;
    std::set<std::string> files;
};

// One check or clean-up: the index as it was when the pass began, and what was
// found since. Every decision to remove something is confirmed against the
// index as it is at that moment, so adds that run meanwhile are never undone.
class Pass {
public:
    enum class Index { Absent, Ready, Failed };

    Pass(const std::string& location, std::chrono::seconds gracePeriod, bool removing,
         StoreMaintenanceListener& listener)
        : m_location(location)
        , m_gracePeriod(gracePeriod)
        , m_removing(removing)
        , m_listener(listener)
    {
    }

    MaintenanceSummary summary;

    Index openIndex(bool writable)
    {
        const std::string path = m_location + "/index.sqlite";
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0) {
            if (errno == ENOENT)
                return Index::Absent;
            fail(systemError("cannot examine the version index " + path));
            return Index::Failed;
        }
        auto database = std::make_unique<SqliteDatabase>(path, writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
        if (!database->valid()) {
            fail("cannot open the version index " + path + ": " + database->lastError());
            return Index::Failed;
        }
        sqlite3_busy_timeout(database->handle(), 30'000);
        if (writable) {
            // As the store itself does: the log stays, so read-only openers find it.
            int persistWal = 1;
            sqlite3_file_control(database->handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &persistWal);
            if (!database->execute("PRAGMA foreign_keys=ON")) {
                fail("cannot set up the version index " + path + ": " + database->lastError());
                return Index::Failed;
            }
        }
        const std::int64_t application = pragma(*database, "PRAGMA application_id");
        const std::int64_t format = pragma(*database, "PRAGMA user_version");
        if (application == 0 && format == 0)
            return Index::Absent; // being created by an add right now
        if (application != kApplicationId || format != kKnownFormat) {
            fail("the version index " + path + " is not in a format this version knows (format "
                 + std::to_string(format) + ")");
            return Index::Failed;
        }
        m_database = std::move(database);
        return Index::Ready;
    }

    bool indexIsSound()
    {
        SqliteStatement query(m_database->handle(), "PRAGMA quick_check");
        if (query.step() != SQLITE_ROW) {
            fail("cannot check the version index: " + m_database->lastError());
            return false;
        }
        const std::string verdict = query.blob(0);
        if (verdict == "ok")
            return true;
        fail("the version index is damaged: " + verdict);
        return false;
    }

    bool readSnapshot()
    {
        if (!m_database->execute("BEGIN")) {
            fail("cannot read the version index: " + m_database->lastError());
            return false;
        }
        const std::size_t failuresBefore = summary.failures;
        const bool read = readDocuments() && readVersions();
        m_database->execute("COMMIT");
        if (!read && summary.failures == failuresBefore)
            fail("cannot read the version index: " + m_database->lastError());
        return read;
    }

    // Without an index nothing in the store can be matched to a document, so
    // nothing is judged; stored files there mean the index was lost.
    void reportLostIndex()
    {
        UniqueFd folder(open((m_location + "/documents").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid())
            return;
        const auto names = entriesOf(folder.get());
        if (!names || !names->empty())
            fail("the version store " + m_location
                 + " holds stored files but no version index; nothing there can be matched to a document");
    }

    void verifyVersions()
    {
        std::size_t done = 0;
        for (const DocumentRow& document : m_documents) {
            for (std::size_t index = 0; index < document.versions.size(); ++index) {
                if (stopping())
                    return;
                m_listener.progress(done++, summary.versions, document.path.value_or(document.uuid));
                verify(document, index);
            }
        }
    }

    void removeGoneDocuments()
    {
        for (auto it = m_documents.begin(); it != m_documents.end();) {
            if (stopping())
                return;
            if (!isGone(*it)) {
                ++it;
            } else if (!m_removing) {
                for (std::size_t index = 0; index < it->versions.size(); ++index)
                    report(goneVersion(*it, index, it->versions[index].file));
                ++it;
            } else if (removeDocument(*it)) {
                m_byUuid.erase(it->uuid);
                it = m_documents.erase(it);
                rebuildLookup();
            } else {
                ++it;
            }
        }
    }

    // Opens one of the store's own folders and lists it. Empty when the folder
    // does not exist, or, reported, when it cannot be read.
    std::optional<std::pair<UniqueFd, std::vector<std::string>>> listStoreFolder(const std::string& folder)
    {
        UniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folderFd.valid()) {
            if (errno != ENOENT)
                fail(systemError("cannot read the folder " + folder));
            return std::nullopt;
        }
        auto names = entriesOf(folderFd.get());
        if (!names) {
            fail(systemError("cannot read the folder " + folder));
            return std::nullopt;
        }
        return std::pair{std::move(folderFd), std::move(*names)};
    }

    void sweepDocuments()
    {
        const std::string root = m_location + "/documents";
        auto listing = listStoreFolder(root);
        if (!listing)
            return;
        const auto& [rootFd, names] = *listing;
        for (const std::string& name : names) {
            struct stat status {};
            if (stopping())
                return;
            if (!examine(rootFd.get(), name, root + "/" + name, status))
                continue;
            if (S_ISDIR(status.st_mode))
                sweepFolder(rootFd.get(), name, root + "/" + name, status, true);
            else
                considerFile(rootFd.get(), name, root + "/" + name, status, nullptr, StoreFinding::Kind::Unreferenced,
                             false);
        }
    }

    void sweepTemporaryFiles()
    {
        const std::string folder = m_location + "/tmp";
        auto listing = listStoreFolder(folder);
        if (!listing)
            return;
        const auto& [folderFd, names] = *listing;
        for (const std::string& name : names) {
            struct stat status {};
            if (stopping())
                return;
            if (examine(folderFd.get(), name, folder + "/" + name, status) && !S_ISDIR(status.st_mode))
                considerFile(folderFd.get(), name, folder + "/" + name, status, nullptr, StoreFinding::Kind::Leftover,
                             true);
        }
    }

private:
    static std::int64_t pragma(SqliteDatabase& database, const char* sql)
    {
        SqliteStatement query(database.handle(), sql);
        return query.step() == SQLITE_ROW ? query.integer(0) : -1;
    }

    bool readDocuments()
    {
        SqliteStatement query(m_database->handle(), "SELECT id, uuid, path, device FROM documents ORDER BY id");
        int result;
        while ((result = query.step()) == SQLITE_ROW) {
            DocumentRow document;
            document.id = query.integer(0);
            document.uuid = query.blob(1);
            if (!query.isNull(2))
                document.path = query.blob(2);
            document.device = query.integer(3);
            if (!isId(document.uuid)) {
                // A folder name built from it could point anywhere; and its
                // stored files would look unreferenced. Nothing is judged.
                fail("the version index has a document record with a malformed identity");
                return false;
            }
            m_documents.push_back(std::move(document));
        }
        summary.documents = m_documents.size();
        rebuildLookup();
        return result == SQLITE_DONE;
    }

    bool readVersions()
    {
        SqliteStatement query(m_database->handle(),
                              "SELECT document, file, size, checksum FROM versions ORDER BY document, position");
        std::map<std::int64_t, DocumentRow*> byId;
        for (DocumentRow& document : m_documents)
            byId[document.id] = &document;
        int result;
        while ((result = query.step()) == SQLITE_ROW) {
            const auto owner = byId.find(query.integer(0));
            VersionRow version{query.blob(1), static_cast<std::uint64_t>(query.integer(2)), query.blob(3)};
            if (owner == byId.end() || !isPlainName(version.file)) {
                fail("the version index has a version record that names no document or no plain file name");
                return false;
            }
            owner->second->files.insert(version.file);
            owner->second->versions.push_back(std::move(version));
            ++summary.versions;
        }
        return result == SQLITE_DONE;
    }

    void rebuildLookup()
    {
        m_byUuid.clear();
        for (const DocumentRow& document : m_documents)
            m_byUuid[document.uuid] = &document;
    }

    std::string storedPath(const std::string& uuid, const std::string& file) const
    {
        return m_location + "/documents/" + uuid + "/" + file;
    }

    StoreFinding versionFinding(StoreFinding::Kind kind, const DocumentRow& document, std::size_t index,
                                std::string detail = {}) const
    {
        StoreFinding finding;
        finding.kind = kind;
        finding.path = storedPath(document.uuid, document.versions[index].file);
        finding.document = document.path;
        finding.index = index;
        finding.detail = std::move(detail);
        return finding;
    }

    StoreFinding goneVersion(const DocumentRow& document, std::size_t index, const std::string& file) const
    {
        StoreFinding finding;
        finding.kind = StoreFinding::Kind::GoneVersion;
        finding.path = storedPath(document.uuid, file);
        finding.document = document.path;
        finding.index = index;
        return finding;
    }

    // Ctrl-C is honoured only between whole steps, each of which leaves the
    // store sound.
    bool stopping()
    {
        if (!summary.interrupted && m_listener.shouldStop())
            summary.interrupted = true;
        return summary.interrupted;
    }

    void report(const StoreFinding& finding)
    {
        ++summary.findings;
        m_listener.found(finding);
    }

    void fail(const std::string& message)
    {
        ++summary.failures;
        m_listener.failed(message);
    }

    void verify(const DocumentRow& document, std::size_t index)
    {
        using Kind = StoreFinding::Kind;
        const VersionRow& version = document.versions[index];
        const std::string path = storedPath(document.uuid, version.file);
        UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!file.valid()) {
            if (errno == ENOENT || errno == ENOTDIR)
                report(versionFinding(Kind::Missing, document, index));
            else if (errno == ELOOP)
                report(versionFinding(Kind::Corrupted, document, index)); // a link where the file was
            else
                report(versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
            return;
        }
        struct stat status {};
        if (fstat(file.get(), &status) != 0) {
            report(versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
            return;
        }
        if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != version.size) {
            report(versionFinding(Kind::Corrupted, document, index));
            return;
        }
        const std::optional<std::string> hash = checksumOfFile(file.get());
        if (!hash)
            report(versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
        else if (*hash != version.checksum)
            report(versionFinding(Kind::Corrupted, document, index));
    }

    // A document no longer exists when nothing stands at its recorded path and
    // nothing in its recorded folder carries its identity (a rename in place).
    // A folder that is missing or on another device than recorded may be an
    // unmounted disk: its documents are kept.
    bool isGone(const DocumentRow& document) const
    {
        if (!document.path)
            return false; // its path went to another document; it may live on under a name we do not know
        struct stat status {};
        if (lstat(document.path->c_str(), &status) == 0 || errno != ENOENT)
            return false;
        const std::string folder = parentOf(*document.path);
        if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)
            || static_cast<std::int64_t>(status.st_dev) != document.device)
            return false;
        UniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const auto names = folderFd.valid() ? entriesOf(folderFd.get()) : std::nullopt;
        if (!names)
            return false;
        const std::string prefix = folder == "/" ? "" : folder;
        for (const std::string& name : *names) {
            char id[33];
            const ssize_t length = getxattr((prefix + "/" + name).c_str(), kDocumentIdAttribute, id, sizeof id);
            if (length == 32 && std::string(id, 32) == document.uuid)
                return false;
        }
        return true;
    }

    // Drops the document's records in one transaction, then its stored files:
    // a crash in between leaves only unreferenced files, which the next
    // clean-up removes.
    bool removeDocument(const DocumentRow& document)
    {
        SqliteDatabase& database = *m_database;
        auto rollback = [&](const std::string& what) {
            fail(what + ": " + database.lastError());
            database.execute("ROLLBACK");
            return false;
        };
        if (!database.execute("BEGIN IMMEDIATE"))
            return rollback("cannot write the version index");
        SqliteStatement current(database.handle(), "SELECT path FROM documents WHERE id = ? AND uuid = ?");
        current.bind(1, document.id).bindText(2, document.uuid);
        const int found = current.step();
        struct stat status {};
        const bool unchanged = found == SQLITE_ROW && !current.isNull(0) && current.blob(0) == *document.path
                            && lstat(document.path->c_str(), &status) != 0 && errno == ENOENT;
        current.reset();
        if (found != SQLITE_ROW && found != SQLITE_DONE)
            return rollback("cannot read the version index");
        if (!unchanged) {
            database.execute("ROLLBACK");
            return false; // it came back or moved meanwhile
        }
        std::vector<std::string> files;
        SqliteStatement versions(database.handle(), "SELECT file FROM versions WHERE document = ? ORDER BY position");
        versions.bind(1, document.id);
        int result;
        while ((result = versions.step()) == SQLITE_ROW)
            files.push_back(versions.blob(0));
        versions.reset();
        if (result != SQLITE_DONE)
            return rollback("cannot read the version index");
        SqliteStatement dropVersions(database.handle(), "DELETE FROM versions WHERE document = ?");
        SqliteStatement dropDocument(database.handle(), "DELETE FROM documents WHERE id = ?");
        if (!dropVersions.bind(1, document.id).run() || !dropDocument.bind(1, document.id).run())
            return rollback("cannot remove the records of " + *document.path);
        dropVersions.reset();
        dropDocument.reset();
        if (!database.execute("COMMIT"))
            return rollback("cannot write the version index");

        const std::string folder = m_location + "/documents/" + document.uuid;
        for (std::size_t index = 0; index < files.size(); ++index) {
            if (!isPlainName(files[index]))
                continue;
            const std::string path = folder + "/" + files[index];
            if (unlink(path.c_str()) != 0 && errno != ENOENT)
                fail(systemError("cannot remove " + path));
            report(goneVersion(document, index, files[index]));
        }
        if (rmdir(folder.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY)
            fail(systemError("cannot remove the folder " + folder));
        m_released.insert(document.uuid);
        return true;
    }

    bool examine(int folderFd, const std::string& name, const std::string& path, struct stat& status)
    {
        if (fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
        if (errno != ENOENT)
            fail(systemError("cannot examine " + path));
        return false;
    }

    bool changedRecently(const struct stat& status) const
    {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec - status.st_ctim.tv_sec < m_gracePeriod.count();
    }

    // Whether the index refers to `file` of document `uuid` right now, not
    // only in the snapshot.
    bool referencedNow(const std::string& uuid, const std::string& file)
    {
        SqliteStatement query(m_database->handle(),
                              "SELECT 1 FROM versions JOIN documents ON documents.id = versions.document "
                              "WHERE documents.uuid = ? AND versions.file = ?");
        query.bindText(1, uuid).bindText(2, file);
        const int result = query.step();
        if (result != SQLITE_ROW && result != SQLITE_DONE)
            fail("cannot read the version index: " + m_database->lastError());
        return result != SQLITE_DONE;
    }

    bool knownNow(const std::string& uuid)
    {
        if (m_byUuid.count(uuid))
            return true;
        SqliteStatement query(m_database->handle(), "SELECT 1 FROM documents WHERE uuid = ?");
        query.bindText(1, uuid);
        const int result = query.step();
        if (result != SQLITE_ROW && result != SQLITE_DONE)
            fail("cannot read the version index: " + m_database->lastError());
        return result != SQLITE_DONE;
    }

    // Reports (and when removing, removes) a file nothing refers to. An add
    // holds a lock on the file it writes until its record is committed, so a
    // locked file is left alone and an unlocked one is looked up once more.
    // Returns whether the file is out of the way.
    bool considerFile(int folderFd, const std::string& name, const std::string& path, const struct stat& status,
                      const std::string* uuid, StoreFinding::Kind kind, bool graceApplies)
    {
        if (graceApplies && changedRecently(status))
            return false;
        UniqueFd locked;
        if (S_ISREG(status.st_mode)) {
            locked.reset(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!locked.valid()) {
                if (errno == ENOENT)
                    return true;
                fail(systemError("cannot open " + path));
                return false;
            }
            if (flock(locked.get(), (m_removing ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
                return false;
        }
        if (uuid && referencedNow(*uuid, name))
            return false;
        if (m_removing && unlinkat(folderFd, name.c_str(), 0) != 0) {
            if (errno == ENOENT)
                return true;
            fail(systemError("cannot remove " + path));
            return false;
        }
        StoreFinding finding;
        finding.kind = kind;
        finding.path = path;
        report(finding);
        return true;
    }

    // Sweeps a folder under documents/; `documentLevel` for the folders named
    // after documents. Returns whether the folder is out of the way.
    bool sweepFolder(int parentFd, const std::string& name, const std::string& path, const struct stat& folderStatus,
                     bool documentLevel)
    {
        UniqueFd folderFd(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folderFd.valid()) {
            if (errno == ENOENT)
                return true;
            fail(systemError("cannot read the folder " + path));
            return false;
        }
        const auto names = entriesOf(folderFd.get());
        if (!names) {
            fail(systemError("cannot read the folder " + path));
            return false;
        }
        const auto owner = documentLevel ? m_byUuid.find(name) : m_byUuid.end();
        bool everythingUnreferenced = true;
        for (const std::string& entry : *names) {
            const std::string entryPath = path + "/" + entry;
            struct stat status {};
            if (!examine(folderFd.get(), entry, entryPath, status))
                continue;
            if (S_ISDIR(status.st_mode)) {
                everythingUnreferenced =
                    sweepFolder(folderFd.get(), entry, entryPath, status, false) && everythingUnreferenced;
            } else if (owner != m_byUuid.end() && owner->second->files.count(entry)) {
                everythingUnreferenced = false;
            } else {
                everythingUnreferenced =
                    considerFile(folderFd.get(), entry, entryPath, status, documentLevel ? &name : nullptr,
                                 StoreFinding::Kind::Unreferenced, false)
                    && everythingUnreferenced;
            }
        }
        // A folder an add has just made is still empty: the grace period keeps
        // it. The folder of a document removed above has only just changed.
        if (!everythingUnreferenced || (documentLevel && knownNow(name))
            || (changedRecently(folderStatus) && !(documentLevel && m_released.count(name))))
            return false;
        if (m_removing && unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
            if (errno == ENOENT)
                return true;
            if (errno != ENOTEMPTY && errno != EEXIST)
                fail(systemError("cannot remove the folder " + path));
            return false;
        }
        StoreFinding finding;
        finding.kind = StoreFinding::Kind::Unreferenced;
        finding.path = path;
        report(finding);
        return true;
    }

    std::string m_location;
    std::chrono::seconds m_gracePeriod;
    bool m_removing;
    StoreMaintenanceListener& m_listener;
    std::unique_ptr<SqliteDatabase> m_database;
    std::vector<DocumentRow> m_documents;
    std::map<std::string, const DocumentRow*> m_byUuid;
    std::set<std::string> m_released; // documents whose records this pass removed
};

// Opens the index and reads what it refers to; false, with the reason reported,
// when the pass cannot go on. A damaged index could make sound files look
// unreferenced, so it stops the pass.
bool start(Pass& pass, bool writable)
{
    switch (pass.openIndex(writable)) {
    case Pass::Index::Absent:
        pass.reportLostIndex();
        return false;
    case Pass::Index::Failed:
        return false;
    case Pass::Index::Ready:
        break;
    }
    return pass.indexIsSound() && pass.readSnapshot();
}

} // namespace

StoreMaintenance::StoreMaintenance(std::string location)
    : m_location(std::move(location))
{
}

MaintenanceSummary StoreMaintenance::check(StoreMaintenanceListener& listener)
{
    Pass pass(m_location, m_gracePeriod, false, listener);
    if (!start(pass, false))
        return pass.summary;
    pass.verifyVersions();
    pass.sweepDocuments();
    pass.sweepTemporaryFiles();
    return pass.summary;
}

MaintenanceSummary StoreMaintenance::prune(bool dryRun, StoreMaintenanceListener& listener)
{
    Pass pass(m_location, m_gracePeriod, !dryRun, listener);
    if (!start(pass, !dryRun))
        return pass.summary;
    pass.removeGoneDocuments();
    pass.sweepDocuments();
    pass.sweepTemporaryFiles();
    return pass.summary;
}

} // namespace strataloom
