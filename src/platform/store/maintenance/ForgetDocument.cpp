// Forget's removal of one document's records, log and stored files.
#include "DocumentIdentity.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "MaintenancePass.h"
#include "RecordHandOver.h"
#include "RecordRelease.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// The stored files a document's log records as versions that `listed` (the
// index's) leaves out: versions an index replaced meanwhile lost, which are
// the document's all the same.
std::vector<std::string> loggedOnly(int documentsFd, const std::string& uuid, int folderFd,
                                    const std::vector<std::string>& listed)
{
    std::vector<std::string> files;
    const auto history = folderFd >= 0 ? readDocumentLog(documentsFd, uuid) : std::nullopt;
    if (!history || history->forgotten)
        return files;
    struct stat status {};
    for (const LoggedVersion& version : history->versions)
        if (std::find(listed.begin(), listed.end(), version.file) == listed.end()
            && fstatat(folderFd, version.file.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            files.push_back(version.file);
    return files;
}

// The stored files of the records the document holds, and the records of
// other documents that its own are deltas against.
bool readHeldRecords(SqliteDatabase& database, std::int64_t document, std::vector<std::string>& files,
                     std::vector<std::int64_t>& basesElsewhere)
{
    SqliteStatement held(database.handle(), "SELECT name FROM records WHERE holder = ? AND packed IS NULL");
    held.bind(1, document);
    int result;
    while ((result = held.step()) == SQLITE_ROW)
        files.push_back(held.blob(0));
    if (result != SQLITE_DONE)
        return false;
    SqliteStatement bases(database.handle(), "SELECT DISTINCT r.base FROM records r JOIN records b ON b.id = r.base "
                                             "WHERE r.holder = ?1 AND b.holder != ?1");
    bases.bind(1, document);
    while ((result = bases.step()) == SQLITE_ROW)
        basesElsewhere.push_back(bases.integer(0));
    return result == SQLITE_DONE;
}

UniqueFd openDocumentFolder(const StoreLayout& layout, const std::string& uuid, UniqueFd& documentsFd)
{
    documentsFd.reset(layout.openDocumentsFolder());
    return UniqueFd(documentsFd.valid()
                        ? openat(documentsFd.get(), uuid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                        : -1);
}

// Drops the document's records in one transaction, then its log and stored
// files: a crash in between leaves only unreferenced files, which prune
// removes. The versions are read inside that transaction, so one added since
// the pass began goes too; an add that commits later fails on the missing
// document and removes its own file. The log stays locked from before the
// records go until it says the document is forgotten, so no one reading it
// meanwhile takes the stored files for versions the index lost.
void removeDocument(MaintenancePass& pass, const DocumentRow& document)
{
    const StoreLayout& layout = pass.layout();
    const std::string folder = *layout.documentFolder(document.uuid);
    std::string error;
    // Before its log is locked: the hand-over writes other documents' logs,
    // which are taken one at a time, never while holding this one.
    std::vector<std::string> handedOver;
    if (!handOverRecords(pass.index(), document.id, &handedOver, &error))
        return pass.fail(error);
    UniqueFd documentsFd;
    // A document whose contents were all packed has no folder.
    UniqueFd folderFd = openDocumentFolder(layout, document.uuid, documentsFd);
    if (!folderFd.valid() && errno != ENOENT)
        pass.fail(errnoMessage("cannot open the folder " + folder));
    std::optional<DocumentLog> log;
    if (documentsFd.valid() && !(log = DocumentLog::open(documentsFd.get(), document.uuid, &error)))
        return pass.fail(error);

    StoreIndex& index = pass.index();
    SqliteDatabase& database = index.database();
    auto rollback = [&](const std::string& what) {
        pass.fail(what + ": " + database.lastError());
        database.execute("ROLLBACK");
    };
    if (!index.beginWriting())
        return pass.fail("cannot write the version index: " + database.lastError());
    std::optional<std::string> recordedPath;
    std::vector<std::string> files;
    SqliteStatement current(database.handle(), "SELECT path FROM documents WHERE id = ? AND uuid = ?");
    current.bind(1, document.id).bindText(2, document.uuid);
    const int found = current.step();
    if (found == SQLITE_ROW && !current.isNull(0))
        recordedPath = current.blob(0);
    current.reset();
    if (found != SQLITE_ROW && found != SQLITE_DONE)
        return rollback("cannot read the version index");
    if (found == SQLITE_DONE) {
        database.execute("ROLLBACK");
        return; // another forget was quicker
    }
    SqliteStatement versions(database.handle(), "SELECT file FROM versions WHERE document = ? ORDER BY position");
    versions.bind(1, document.id);
    int result;
    while ((result = versions.step()) == SQLITE_ROW)
        files.push_back(versions.blob(0));
    versions.reset();
    if (result != SQLITE_DONE)
        return rollback("cannot read the version index");
    std::vector<std::string> recordFiles;
    std::vector<std::int64_t> basesElsewhere;
    if (!readHeldRecords(database, document.id, recordFiles, basesElsewhere))
        return rollback("cannot read the version index");
    SqliteStatement dropVersions(database.handle(), "DELETE FROM versions WHERE document = ?");
    SqliteStatement dropRecords(database.handle(), "DELETE FROM records WHERE holder = ?");
    SqliteStatement dropDocument(database.handle(), "DELETE FROM documents WHERE id = ?");
    if (!dropVersions.bind(1, document.id).run())
        return rollback("cannot remove the records of the document " + document.uuid);
    // Fails only when another document began to share its contents since
    // they were handed over: nothing is removed then.
    if (!dropRecords.bind(1, document.id).run())
        return rollback("cannot remove the document " + document.uuid
                        + ", another document began to share its contents meanwhile; forget it again");
    if (!dropDocument.bind(1, document.id).run())
        return rollback("cannot remove the records of the document " + document.uuid);
    dropVersions.reset();
    dropRecords.reset();
    dropDocument.reset();
    if (!database.execute("COMMIT"))
        return rollback("cannot write the version index");

    // Worked on through the folder's descriptor, never through a link. The
    // log is marked first: should the rest be cut short, rebuilding the index
    // from what is left never brings the document back.
    const std::vector<std::string> unlisted = loggedOnly(documentsFd.get(), document.uuid, folderFd.get(), files);
    files.insert(files.end(), unlisted.begin(), unlisted.end());
    if (log) {
        log->recordForgotten();
        if (!log->write(&error) || !syncFile(log->fd(), &error))
            pass.fail(error);
        log.reset();
    }
    for (std::size_t index = 0; index < files.size(); ++index) {
        const auto path = layout.storedFilePath(document.uuid, files[index]);
        if (!path)
            continue; // recorded since the pass checked the records: it names nothing in the store
        if (folderFd.valid() && unlinkat(folderFd.get(), files[index].c_str(), 0) != 0 && errno != ENOENT)
            pass.fail(errnoMessage("cannot remove " + *path));
        StoreFinding finding;
        finding.kind = StoreFinding::Kind::ForgottenVersion;
        finding.path = *path;
        finding.document = recordedPath;
        finding.index = index;
        pass.report(finding);
    }
    // Files of records that versions did not name alike, and the old names of
    // those handed over.
    for (const std::vector<std::string>* names : {&recordFiles, &handedOver})
        for (const std::string& name : *names)
            if (folderFd.valid() && isId(name) && unlinkat(folderFd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
                pass.fail(errnoMessage("cannot remove " + folder + "/" + name));
    // Records of other documents that only this one's were made against.
    if (!releaseRecords(pass.index(), basesElsewhere, &error))
        pass.fail(error);
    // The folder before the log: a folder left without its log would read as
    // a document of release 1.0.0 to a rebuild.
    if (documentsFd.valid() && unlinkat(documentsFd.get(), document.uuid.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT
        && errno != ENOTEMPTY)
        pass.fail(errnoMessage("cannot remove the folder " + folder));
    if (documentsFd.valid() && unlinkat(documentsFd.get(), StoreLayout::logName(document.uuid)->c_str(), 0) != 0
        && errno != ENOENT)
        pass.fail(errnoMessage("cannot remove the log " + *layout.logPath(document.uuid)));
}

// The snapshot's row of the chosen document; empty, with the reason reported,
// when there is none. A document recorded since the pass began is not in the
// snapshot and is left for another run.
const DocumentRow* chosenDocument(MaintenancePass& pass, const DocumentChoice& choice, bool indexOpen)
{
    std::optional<std::string> uuid;
    if (choice.byId) {
        if (!isId(choice.value)) {
            pass.fail("not a document id (32 lowercase hex digits): " + choice.value);
            return nullptr;
        }
        uuid = choice.value;
    } else if (indexOpen) {
        std::optional<Document> document;
        std::string error;
        if (!findDocument(pass.index(), examineItem(lookupPath(choice.value)), document, &error)) {
            pass.fail(error);
            return nullptr;
        }
        if (document)
            uuid = document->uuid;
    }
    const DocumentRow* row = indexOpen && uuid ? pass.document(*uuid) : nullptr;
    if (!row)
        pass.fail(choice.byId ? "the version store has no document with the id " + choice.value
                              : choice.value + " is not a document of the version store");
    return row;
}

} // namespace

void forgetDocument(MaintenancePass& pass, const DocumentChoice& choice, bool indexOpen)
{
    const DocumentRow* document = chosenDocument(pass, choice, indexOpen);
    if (!document || pass.stopping())
        return;
    if (pass.removing()) {
        removeDocument(pass, *document);
        return;
    }
    for (std::size_t index = 0; index < document->versions.size(); ++index)
        pass.report(pass.versionFinding(StoreFinding::Kind::ForgottenVersion, *document, index));
    std::vector<std::string> listed;
    for (const VersionRow& version : document->versions)
        listed.push_back(version.file);
    UniqueFd documentsFd;
    const UniqueFd folderFd = openDocumentFolder(pass.layout(), document->uuid, documentsFd);
    std::size_t index = listed.size();
    for (const std::string& file : loggedOnly(documentsFd.get(), document->uuid, folderFd.get(), listed)) {
        StoreFinding finding;
        finding.kind = StoreFinding::Kind::ForgottenVersion;
        finding.path = pass.layout().storedFilePath(document->uuid, file).value_or(file);
        finding.document = document->path;
        finding.index = index++;
        pass.report(finding);
    }
}

} // namespace strataloom::store
