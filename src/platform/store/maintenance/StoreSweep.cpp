// Finding, and when pruning removing, what nothing in the index refers to:
// stray items under documents/ and the temporary files of adds that died.
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "Leftovers.h"
#include "LoggedFiles.h"
#include "MaintenancePass.h"

#include <cerrno>
#include <functional>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

class Sweep {
public:
    explicit Sweep(MaintenancePass& pass)
        : m_pass(pass)
    {
    }

    // Opens one of the store's own folders and lists it. Empty when the folder
    // does not exist, or, reported, when it cannot be read.
    std::optional<std::pair<UniqueFd, std::vector<std::string>>> listStoreFolder(const std::string& folder)
    {
        UniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folderFd.valid()) {
            if (errno != ENOENT)
                failWithErrno("cannot read the folder " + folder);
            return std::nullopt;
        }
        auto names = folderEntries(folderFd.get());
        if (!names) {
            failWithErrno("cannot read the folder " + folder);
            return std::nullopt;
        }
        return std::pair{std::move(folderFd), std::move(*names)};
    }

    bool examine(int folderFd, const std::string& name, const std::string& path, struct stat& status)
    {
        if (fstatat(folderFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
        if (errno != ENOENT)
            failWithErrno("cannot examine " + path);
        return false;
    }

    // Reports (and when removing, removes) a file nothing refers to. An add
    // holds a lock on the file it writes until its record is committed, so a
    // locked file is left alone and an unlocked one is looked up once more.
    // Returns whether the file is out of the way.
    bool considerFile(int folderFd, const std::string& name, const std::string& path, const struct stat& status,
                      const std::string* uuid, StoreFinding::Kind kind, bool graceApplies,
                      const std::function<const LoggedFiles&()>& logged = {})
    {
        if (graceApplies && changedWithin(status, m_pass.gracePeriod()))
            return false;
        UniqueFd locked;
        if (S_ISREG(status.st_mode)) {
            locked.reset(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!locked.valid()) {
                if (errno == ENOENT)
                    return true;
                failWithErrno("cannot open " + path);
                return false;
            }
            if (!lockUnlessWritten(locked.get(), m_pass.removing()))
                return false;
        }
        if (uuid && referencedNow(name))
            return false;
        if (logged) {
            const LoggedFiles& log = logged();
            if (!log.readable)
                return false;
            if (log.live.count(name) && !switchCutShort(log, name)) {
                keepUnindexed(path);
                return false;
            }
            // The index no longer lists it and its file goes next: a removal
            // under way, which only prune judges.
            if (m_pass.checking() && log.removed.count(name))
                return false;
        }
        if (m_pass.removing() && unlinkat(folderFd, name.c_str(), 0) != 0) {
            if (errno == ENOENT)
                return true;
            failWithErrno("cannot remove " + path);
            return false;
        }
        reportItem(kind, path);
        return true;
    }

    // Sweeps a folder under documents/; `documentLevel` for the folders named
    // after documents, whose logs lie beside them. Returns whether the folder
    // is out of the way.
    bool sweepFolder(int parentFd, const std::string& name, const std::string& path, const struct stat& folderStatus,
                     bool documentLevel)
    {
        UniqueFd folderFd(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folderFd.valid()) {
            if (errno == ENOENT)
                return true;
            failWithErrno("cannot read the folder " + path);
            return false;
        }
        const auto names = folderEntries(folderFd.get());
        if (!names) {
            failWithErrno("cannot read the folder " + path);
            return false;
        }
        const DocumentRow* owner = documentLevel ? m_pass.document(name) : nullptr;
        std::optional<LoggedFiles> loggedFiles;
        std::function<const LoggedFiles&()> logged;
        if (documentLevel && isId(name))
            logged = [&]() -> const LoggedFiles& {
                if (!loggedFiles) {
                    std::string error;
                    loggedFiles = readLoggedFiles(parentFd, name, &error);
                    if (!loggedFiles->readable)
                        m_pass.fail(error + " (" + path + "); nothing in its folder is judged");
                }
                return *loggedFiles;
            };
        bool everythingUnreferenced = true;
        for (const std::string& entry : *names) {
            const std::string entryPath = path + "/" + entry;
            struct stat status {};
            if (!examine(folderFd.get(), entry, entryPath, status))
                continue;
            if (S_ISDIR(status.st_mode)) {
                everythingUnreferenced =
                    sweepFolder(folderFd.get(), entry, entryPath, status, false) && everythingUnreferenced;
            } else if (owner && owner->files.count(entry)) {
                everythingUnreferenced = false;
            } else {
                everythingUnreferenced =
                    considerFile(folderFd.get(), entry, entryPath, status, documentLevel ? &name : nullptr,
                                 StoreFinding::Kind::Unreferenced, false, logged)
                    && everythingUnreferenced;
            }
        }
        // A folder an add has just made is still empty: the grace period keeps it.
        if (!everythingUnreferenced || (documentLevel && knownNow(name))
            || changedWithin(folderStatus, m_pass.gracePeriod()))
            return false;
        if (m_pass.removing() && unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
            if (errno == ENOENT)
                return true;
            if (errno != ENOTEMPTY && errno != EEXIST)
                failWithErrno("cannot remove the folder " + path);
            return false;
        }
        reportItem(StoreFinding::Kind::Unreferenced, path);
        return true;
    }

    // Sweeps a document's log, beside its folder. A log is what the index's
    // records of its document can be rebuilt from, and all there is of
    // versions it lacks: it goes only when its document is unknown and it
    // leads to nothing left. Read under its lock first, so that an add that
    // wrote it has recorded its document by then.
    void sweepLog(int documentsFd, const std::string& uuid, const std::string& name, const std::string& path,
                  const struct stat& status)
    {
        std::string error;
        const LoggedFiles logged = readLoggedFiles(documentsFd, uuid, &error);
        if (!logged.readable) {
            m_pass.fail(error + " (" + path + "); it is not judged");
            return;
        }
        if (knownNow(uuid))
            return;
        const UniqueFd folder(openat(documentsFd, uuid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid() && errno != ENOENT)
            return failWithErrno("cannot read the folder "
                                 + path.substr(0, path.size() - StoreLayout::kLogSuffix.size()));
        const auto names =
            folder.valid() ? folderEntries(folder.get()) : std::optional<std::vector<std::string>>(std::in_place);
        if (!names)
            return;
        if (keepsVersions(logged, *names)) {
            // Files it leads to are judged in its folder; the versions it
            // packs are all there is of them.
            if (!logged.livePacked.empty())
                keepUnindexed(path);
            return;
        }
        // A log just made belongs to an add that has not written it yet.
        considerFile(documentsFd, name, path, status, nullptr, StoreFinding::Kind::Unreferenced, true);
    }

private:
    void failWithErrno(const std::string& what) { m_pass.fail(errnoMessage(what)); }

    // Whether a log of a document the index does not know records versions
    // whose stored files are among `names`, or whose records it packs.
    static bool keepsVersions(const LoggedFiles& logged, const std::vector<std::string>& names)
    {
        if (!logged.readable || !logged.livePacked.empty())
            return true;
        for (const std::string& name : names)
            if (logged.live.count(name))
                return true;
        return false;
    }

    // Whether the log leads to `name` only through a switch the index never
    // made: a re-encoding killed between its log and its index, whose old
    // record the index still names and reads. The new file is then a
    // leftover: a rebuild, finding it gone, keeps to the old one.
    bool switchCutShort(const LoggedFiles& logged, const std::string& name)
    {
        auto from = logged.switchedFrom.find(name);
        for (std::size_t step = 0; from != logged.switchedFrom.end() && step <= logged.switchedFrom.size(); ++step) {
            if (recordNow(from->second))
                return true;
            from = logged.switchedFrom.find(from->second);
        }
        return false;
    }

    // A check counts it as a problem; prune keeps it and says so.
    void keepUnindexed(const std::string& path)
    {
        if (!m_pass.checking()) {
            m_pass.note(path
                        + " is kept: its document's log records it as a version, which the index does not list; "
                          "'strataloom-cli check --repair' lists it again");
            return;
        }
        reportItem(StoreFinding::Kind::Unindexed, path);
    }

    void reportItem(StoreFinding::Kind kind, const std::string& path)
    {
        StoreFinding finding;
        finding.kind = kind;
        finding.path = path;
        m_pass.report(finding);
    }

    // Whether the index refers to `file` of a document folder right now, not
    // only in the snapshot: a record stored as a file of that name. A
    // version's own name is no reference: its contents may live in another
    // record, and the file of that name be what a re-encoding left behind.
    // Record names are the store's own, unique: one in another document's
    // folder is a hand-over under way (the link its new holder gets before
    // the index says so), and is left for forget to finish.
    bool referencedNow(const std::string& file)
    {
        SqliteDatabase& database = m_pass.index().database();
        SqliteStatement query(database.handle(),
                              "SELECT 1 FROM records JOIN documents ON documents.id = records.holder "
                              "WHERE records.name = ? AND records.packed IS NULL");
        query.bindText(1, file);
        const int result = query.step();
        if (result != SQLITE_ROW && result != SQLITE_DONE)
            m_pass.fail("cannot read the version index: " + database.lastError());
        return result != SQLITE_DONE;
    }

    // Whether the index has a record of that name, stored as a file or packed.
    bool recordNow(const std::string& name)
    {
        SqliteStatement query(m_pass.index().database().handle(), "SELECT 1 FROM records WHERE name = ?");
        query.bindText(1, name);
        return query.step() == SQLITE_ROW;
    }

    bool knownNow(const std::string& uuid)
    {
        if (m_pass.document(uuid))
            return true;
        SqliteDatabase& database = m_pass.index().database();
        SqliteStatement query(database.handle(), "SELECT 1 FROM documents WHERE uuid = ?");
        query.bindText(1, uuid);
        const int result = query.step();
        if (result != SQLITE_ROW && result != SQLITE_DONE)
            m_pass.fail("cannot read the version index: " + database.lastError());
        return result != SQLITE_DONE;
    }

    MaintenancePass& m_pass;
};

} // namespace

void sweepDocuments(MaintenancePass& pass)
{
    Sweep sweep(pass);
    const std::string root = pass.layout().documentsFolder();
    auto listing = sweep.listStoreFolder(root);
    if (!listing)
        return;
    const auto& [rootFd, names] = *listing;
    for (const std::string& name : names) {
        struct stat status {};
        if (pass.stopping())
            return;
        if (!sweep.examine(rootFd.get(), name, root + "/" + name, status))
            continue;
        const auto logged = StoreLayout::loggedDocument(name);
        if (S_ISDIR(status.st_mode))
            sweep.sweepFolder(rootFd.get(), name, root + "/" + name, status, true);
        else if (logged && S_ISREG(status.st_mode))
            sweep.sweepLog(rootFd.get(), *logged, name, root + "/" + name, status);
        else
            sweep.considerFile(rootFd.get(), name, root + "/" + name, status, nullptr, StoreFinding::Kind::Unreferenced,
                               false);
    }
}

void sweepTemporaryFiles(MaintenancePass& pass)
{
    Sweep sweep(pass);
    const std::string folder = pass.layout().temporaryFolder();
    auto listing = sweep.listStoreFolder(folder);
    if (!listing)
        return;
    const auto& [folderFd, names] = *listing;
    for (const std::string& name : names) {
        struct stat status {};
        if (pass.stopping())
            return;
        if (sweep.examine(folderFd.get(), name, folder + "/" + name, status) && !S_ISDIR(status.st_mode))
            sweep.considerFile(folderFd.get(), name, folder + "/" + name, status, nullptr, StoreFinding::Kind::Leftover,
                               true);
    }
}

} // namespace strataloom::store
