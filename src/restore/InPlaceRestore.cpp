// Restoring a version in place: the current contents kept, the chosen ones
// written beside the document and renamed over it.
#include "InPlaceRestore.h"

#include "DocumentFile.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FileVersionStore.h"
#include "ItemCopy.h"
#include "NewestContents.h"
#include "StoreLayout.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace strataloom {

using namespace store;

namespace {

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The document's new contents under a hidden name beside it (the watcher
// leaves hidden names alone), complete and durable; empty when they could not
// be written, with nothing left behind.
std::optional<std::string> writeReplacement(int folder, const DocumentFile& document, const FileVersion& version,
                                            std::string* error)
{
    const std::string name = ".strataloom-restore-" + randomId();
    UniqueFd out(openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        fail(error, errnoMessage("cannot create a file beside " + document.path));
        return std::nullopt;
    }
    const UniqueFd in = version.openContents();
    std::string failure;
    if (!in.valid())
        failure = errnoMessage("cannot read the version at " + version.URL().path());
    else if (!copyFileContents(in.get(), out.get()))
        failure = errnoMessage("cannot write the restored contents beside " + document.path);
    if (failure.empty()) {
        // Another owner's document stays theirs where the user may say so.
        if (fchown(out.get(), document.status.st_uid, document.status.st_gid) != 0 && errno != EPERM)
            failure = errnoMessage("cannot set the owner of the restored " + document.path);
        else if (!copyPermissions(document.status, out.get()))
            failure = errnoMessage("cannot set the permissions of the restored " + document.path);
    }
    if (failure.empty()) {
        // The document's attributes travel with it: its id first of all, so
        // that the store still finds it, and its creation date, since it is
        // the same document.
        copyUserAttributes(document.fd.get(), out.get(), true);
        // A new file has a new birth time: the document's creation date goes in the attribute.
        if (const auto dates = readDates(document.fd.get())) {
            const std::string creation = formatCreationAttribute(dates->creation);
            fsetxattr(out.get(), kCreationDateAttribute, creation.data(), creation.size(), 0);
        }
        // fsync, not fdatasync: the id and permissions must survive too.
        if (fsync(out.get()) != 0)
            failure = errnoMessage("cannot make the restored " + document.path + " durable");
    }
    if (!failure.empty()) {
        unlinkat(folder, name.c_str(), 0);
        fail(error, failure);
        return std::nullopt;
    }
    return name;
}

} // namespace

std::optional<InPlaceRestore> restoreVersionInPlace(FileVersionStore& store, const FileUrl& document,
                                                    const FileVersion& version, bool dryRun, std::string* error)
{
    const auto& fingerprint = version.fingerprint();
    if (!version.storedAt() || !fingerprint) {
        fail(error, "only a stored version of " + document.path() + " can be restored");
        return std::nullopt;
    }
    std::optional<DocumentFile> file = openDocumentFile(document.path(), {}, error);
    if (!file)
        return std::nullopt;
    const auto holds = holdsContents(file->fd.get(), file->status,
                                     NewestContents{fingerprint->size, fingerprint->checksum, {}}, error);
    if (!holds)
        return std::nullopt;
    if (*holds)
        return InPlaceRestore{true, false};
    if (!version.hasLocalContents()) {
        fail(error, "the stored contents of that version of " + document.path() + " are missing or damaged");
        return std::nullopt;
    }
    struct stat keptState {};
    const auto kept = store.keepCurrentContents(document, dryRun, error, &keptState);
    if (!kept)
        return std::nullopt;
    const InPlaceRestore outcome{false, *kept};
    if (dryRun)
        return outcome;

    // The document as kept, tagged with its id, which the new file takes on; a
    // save since then would be lost with it.
    file = openDocumentFile(document.path(), {}, error);
    if (!file)
        return std::nullopt;
    if (!sameFile(file->status, keptState)) {
        fail(error, "not restoring " + document.path() + ": it was saved while it was being restored");
        return std::nullopt;
    }
    const auto slash = file->path.find_last_of('/');
    const std::string folderPath = slash == 0 ? "/" : file->path.substr(0, slash);
    const std::string name = file->path.substr(slash + 1);
    const UniqueFd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat found {};
    if (!folder.valid() || fstatat(folder.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0
        || !sameFile(found, file->status)) {
        fail(error, "not restoring " + document.path() + ": it or its folder was replaced meanwhile");
        return std::nullopt;
    }
    const auto replacement = writeReplacement(folder.get(), *file, version, error);
    if (!replacement)
        return std::nullopt;
    if (fstatat(folder.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(found, file->status)) {
        unlinkat(folder.get(), replacement->c_str(), 0);
        fail(error, "not restoring " + document.path() + ": it changed while it was being restored");
        return std::nullopt;
    }
    if (renameat(folder.get(), replacement->c_str(), folder.get(), name.c_str()) != 0) {
        const int cause = errno;
        unlinkat(folder.get(), replacement->c_str(), 0);
        fail(error, errnoMessage("cannot put the restored contents in place of " + document.path(), cause));
        return std::nullopt;
    }
    if (fsync(folder.get()) != 0) {
        fail(error, errnoMessage("cannot make the restored " + document.path() + " durable"));
        return std::nullopt;
    }
    std::string recordError;
    if (!store.saveVersionOfItem(document, &recordError)) {
        fail(error,
             "restored " + document.path() + ", but couldn't keep the restored contents as a version: " + recordError);
        return std::nullopt;
    }
    return outcome;
}

} // namespace strataloom
