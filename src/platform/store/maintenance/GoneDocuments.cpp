// Prune's removal of the versions of documents that no longer exist.
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "MaintenancePass.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace strataloom::store {

namespace {

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A document no longer exists when nothing stands at its recorded path and
// nothing in its recorded folder carries its identity (a rename in place). A
// folder that is missing or on another device than recorded may be an
// unmounted disk: its documents are kept.
bool isGone(const DocumentRow& document)
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
    const auto names = folderFd.valid() ? folderEntries(folderFd.get()) : std::nullopt;
    if (!names)
        return false;
    const std::string prefix = folder == "/" ? "" : folder;
    for (const std::string& name : *names) {
        char id[kIdLength + 1];
        const ssize_t length = getxattr((prefix + "/" + name).c_str(), kDocumentIdAttribute, id, sizeof id);
        if (length == static_cast<ssize_t>(kIdLength) && std::string(id, kIdLength) == document.uuid)
            return false;
    }
    return true;
}

// Drops the document's records in one transaction, then its stored files: a
// crash in between leaves only unreferenced files, which the next clean-up
// removes.
bool removeDocument(MaintenancePass& pass, const DocumentRow& document)
{
    SqliteDatabase& database = pass.index().database();
    auto rollback = [&](const std::string& what) {
        pass.fail(what + ": " + database.lastError());
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

    for (std::size_t index = 0; index < files.size(); ++index) {
        const auto path = pass.layout().storedFilePath(document.uuid, files[index]);
        if (!path)
            continue;
        if (unlink(path->c_str()) != 0 && errno != ENOENT)
            pass.fail(errnoMessage("cannot remove " + *path));
        StoreFinding finding;
        finding.kind = StoreFinding::Kind::GoneVersion;
        finding.path = *path;
        finding.document = document.path;
        finding.index = index;
        pass.report(finding);
    }
    const std::string folder = *pass.layout().documentFolder(document.uuid);
    if (rmdir(folder.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY)
        pass.fail(errnoMessage("cannot remove the folder " + folder));
    return true;
}

} // namespace

void removeGoneDocuments(MaintenancePass& pass)
{
    std::vector<std::string> removed;
    for (const DocumentRow& document : pass.documents()) {
        if (pass.stopping())
            break;
        if (!isGone(document))
            continue;
        if (!pass.removing()) {
            for (std::size_t index = 0; index < document.versions.size(); ++index) {
                StoreFinding finding = pass.versionFinding(StoreFinding::Kind::GoneVersion, document, index);
                pass.report(finding);
            }
        } else if (removeDocument(pass, document)) {
            removed.push_back(document.uuid);
        }
    }
    for (const std::string& uuid : removed)
        pass.release(uuid);
}

} // namespace strataloom::store
