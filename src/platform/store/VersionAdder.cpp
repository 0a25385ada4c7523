// The add pipeline: find the document, copy and checksum the contents into a
// new locked file in the document's folder, give it its dates, make the batch
// durable, then record it.
#include "VersionAdder.h"
#include "ContentHash.h"
#include "DocumentLog.h"
#include "ErrorMessage.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

// A document rewritten while it is copied gives a mixed copy; it is copied
// again this many times before the add fails.
constexpr int kCopyAttempts = 4;

constexpr const char* kInsertVersion =
    "INSERT INTO versions (document, position, file, size, inode, change_time_ns, checksum, modification_s, "
    "modification_ns, creation_s, creation_ns, added_ns, automatic) VALUES (?1, (SELECT COALESCE(MAX(position), -1) "
    "+ 1 FROM versions WHERE document = ?1), ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
constexpr const char* kSelectLoggedVersions =
    "SELECT file, size, checksum, modification_s, modification_ns, creation_s, creation_ns, added_ns, automatic, "
    "pinned FROM versions WHERE document = ? ORDER BY position";

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t nanoseconds(const struct timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// Whether the file at `before` is still the same bytes: same size,
// modification and change times.
bool unchangedSince(const struct stat& before, const struct stat& after)
{
    return before.st_size == after.st_size && nanoseconds(before.st_mtim) == nanoseconds(after.st_mtim)
        && nanoseconds(before.st_ctim) == nanoseconds(after.st_ctim);
}

} // namespace

VersionAdder::VersionAdder(StoreIndex& index)
    : m_index(index)
    , m_durable(m_ownDurable)
    , m_ownCopyBuffer(std::make_unique<char[]>(kCopyBufferSize))
    , m_copyBuffer(m_ownCopyBuffer.get())
{
}

VersionAdder::VersionAdder(StoreIndex& index, DurableBatch& durable, char* copyBuffer)
    : m_index(index)
    , m_durable(durable)
    , m_copyBuffer(copyBuffer)
    , m_sharedBatch(true)
{
}

VersionAdder::~VersionAdder()
{
    discardStaged();
}

bool VersionAdder::begin(const std::string& itemPath, bool newDocument, std::string* error)
{
    discardStaged();
    m_begun = false;
    m_folder.reset();
    const auto resolved = canonicalPath(itemPath);
    if (!resolved)
        return fail(error, errnoMessage("cannot find the document " + itemPath));
    struct stat status {};
    if (stat(resolved->c_str(), &status) != 0)
        return fail(error, errnoMessage("cannot examine the document " + *resolved));
    if (!S_ISREG(status.st_mode))
        return fail(error, "the document " + *resolved + " is not a regular file");
    m_item = Item{*resolved, newDocument ? std::nullopt : documentIdOf(*resolved),
                  static_cast<std::int64_t>(status.st_dev), static_cast<std::int64_t>(status.st_ino)};
    m_newDocument = newDocument;
    m_document = Document{};
    m_begun = holdStore(error) && recordDocument(error);
    // Held again from the first version staged until the batch is done.
    m_storeLock.reset();
    return m_begun;
}

bool VersionAdder::holdStore(std::string* error)
{
    if (!m_storeLock)
        m_storeLock = holdStoreForWriting(m_index, error);
    return m_storeLock.has_value();
}

bool VersionAdder::recordDocument(std::string* error)
{
    // The document's record comes first, in its own short transaction, so the
    // stored files can go straight into the document's folder.
    // Looked up again after a repair, it is the document it was, by its id.
    const std::string before = m_document.uuid;
    Item item = m_item;
    if (!before.empty())
        item.id = before;
    const bool found = m_newDocument && before.empty() ? createDocument(m_index, item, m_document, error)
                                                       : findOrCreateDocument(m_index, item, m_document, error);
    if (!found)
        return false;
    if (m_document.uuid != before)
        m_folder.reset();
    m_generation = m_index.generation();
    tagDocument(m_item, m_document);
    return true;
}

bool VersionAdder::openDocumentFolder(std::string* error)
{
    if (m_folder.valid())
        return true;
    const StoreLayout& layout = m_index.layout();
    const auto folder = layout.documentFolder(m_document.uuid);
    if (!folder)
        return fail(error, "the version index has a document record with a malformed identity");
    UniqueFd documents(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!documents.valid())
        return fail(error, errnoMessage("cannot open the folder " + layout.documentsFolder()));
    const std::string name = m_document.uuid;
    // The document's folder is made on its first version.
    if (mkdirat(documents.get(), name.c_str(), 0700) == 0)
        m_durable.addFolder(layout.documentsFolder());
    else if (errno != EEXIST)
        return fail(error, errnoMessage("cannot create the folder " + *folder));
    m_folder.reset(openat(documents.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_folder.valid())
        return fail(error, errnoMessage("cannot open the folder " + *folder));
    m_folderPath = *folder;
    return true;
}

// A new stored file under a fresh random name, locked. Clean-up may remove a
// file in the instant between its creation and its lock, so a file found
// unlinked once locked is given up for another.
UniqueFd VersionAdder::createStoredFile(std::string& name, mode_t mode, std::string* error)
{
    for (;;) {
        name = randomId();
        UniqueFd file(openat(m_folder.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!file.valid()) {
            fail(error, errnoMessage("cannot create a file in the version store"));
            return file;
        }
        struct stat status {};
        const bool locked = flock(file.get(), LOCK_EX) == 0 && fstat(file.get(), &status) == 0;
        if (locked && status.st_nlink == 0)
            continue;
        // The process's umask may have taken bits the version must keep.
        if (locked && ((status.st_mode & 07777) == mode || fchmod(file.get(), mode) == 0))
            return file;
        fail(error, errnoMessage("cannot create a file in the version store"));
        unlinkat(m_folder.get(), name.c_str(), 0);
        return UniqueFd();
    }
}

std::optional<FileVersion> VersionAdder::stage(const std::string& contentsPath, std::string* error)
{
    // A repair that ran since the document was recorded left a new index,
    // where its record is looked up again.
    if (m_begun && !m_storeLock
        && (!holdStore(error) || (m_index.generation() != m_generation && !recordDocument(error)))) {
        m_storeLock.reset();
        return std::nullopt;
    }
    auto version = stageCopy(contentsPath, error);
    // A long-lived adder (the version window's) that failed gives the store back.
    if (!version && m_staged.empty())
        m_storeLock.reset();
    return version;
}

std::optional<FileVersion> VersionAdder::stageCopy(const std::string& contentsPath, std::string* error)
{
    if (!m_begun) {
        fail(error, "no document to add versions to");
        return std::nullopt;
    }
    UniqueFd source(open(contentsPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat before {};
    if (!source.valid() || fstat(source.get(), &before) != 0) {
        fail(error, errnoMessage("cannot read the contents file " + contentsPath));
        return std::nullopt;
    }
    if (!S_ISREG(before.st_mode)) {
        fail(error, "the contents file " + contentsPath + " is not a regular file");
        return std::nullopt;
    }
    if (!openDocumentFolder(error))
        return std::nullopt;
    Staged staged;
    // The contents file's permissions, with the owner always able to read and write.
    staged.file = createStoredFile(staged.name, (before.st_mode & 0777) | 0600, error);
    if (!staged.file.valid())
        return std::nullopt;
    const auto abandon = [&](std::string message) -> std::optional<FileVersion> {
        unlinkat(m_folder.get(), staged.name.c_str(), 0);
        fail(error, std::move(message));
        return std::nullopt;
    };

    std::optional<std::string> hash;
    for (int attempt = 0; !hash; ++attempt) {
        if (attempt == kCopyAttempts)
            return abandon("cannot copy " + contentsPath
                           + " into the version store: it kept changing while it was "
                             "copied");
        const std::optional<FileDates> dates = readDates(source.get());
        if (!dates)
            return abandon(errnoMessage("cannot read the dates of " + contentsPath));
        staged.dates = *dates;
        if (attempt > 0
            && (lseek(source.get(), 0, SEEK_SET) != 0 || ftruncate(staged.file.get(), 0) != 0
                || lseek(staged.file.get(), 0, SEEK_SET) != 0))
            return abandon(errnoMessage("cannot copy " + contentsPath + " into the version store"));
        hash = copyChecksummed(source.get(), staged.file.get(), m_copyBuffer, kCopyBufferSize,
                               static_cast<std::uint64_t>(before.st_size));
        if (!hash)
            return abandon(errnoMessage("cannot copy " + contentsPath + " into the version store"));
        struct stat after {};
        if (fstat(source.get(), &after) != 0)
            return abandon(errnoMessage("cannot examine " + contentsPath));
        if (!unchangedSince(before, after)) {
            hash.reset();
            before = after;
        }
    }
    struct stat stored {};
    if (!setDates(staged.file.get(), staged.dates) || fstat(staged.file.get(), &stored) != 0)
        return abandon(errnoMessage("cannot copy " + contentsPath + " into the version store"));
    std::string reason;
    if (!m_durable.addFile(staged.file.get(), &reason))
        return abandon(reason);

    staged.fingerprint.size = static_cast<std::uint64_t>(stored.st_size);
    staged.fingerprint.inode = static_cast<std::uint64_t>(stored.st_ino);
    staged.fingerprint.changeTimeNs = nanoseconds(stored.st_ctim);
    staged.fingerprint.checksum = *hash;
    staged.automatic = m_automatic;
    FileVersion version(FileUrl::fromPath(m_folderPath + "/" + staged.name), staged.fingerprint, staged.dates,
                        m_index.layout().location(), m_document.uuid, staged.name, m_automatic);
    m_staged.push_back(std::move(staged));
    if (!m_sharedBatch && m_staged.size() >= kBatchSize && !commit(error))
        return std::nullopt;
    return version;
}

bool VersionAdder::commit(std::string* error)
{
    if (m_staged.empty()) {
        m_storeLock.reset();
        return true;
    }
    std::string reason;
    if (!prepareCommit(&reason) || !m_durable.flush(&reason)) {
        discardStaged();
        return fail(error, reason);
    }
    if (!m_index.beginWriting()) {
        reason = "cannot write the version index: " + m_index.database().lastError();
        discardStaged();
        return fail(error, reason);
    }
    if (!recordStaged(&reason) || !m_index.commit()) {
        if (reason.empty())
            reason = "cannot write the version index: " + m_index.database().lastError();
        m_index.rollback();
        discardStaged();
        return fail(error, reason);
    }
    finishCommit();
    return true;
}

bool VersionAdder::prepareCommit(std::string* error)
{
    if (m_staged.empty())
        return true;
    m_log = DocumentLog::open(m_folder.get(), error);
    if (!m_log || !logBatch(*m_log, error) || !m_durable.addFile(m_log->fd(), error))
        return false;
    m_durable.addFolder(m_folderPath);
    return true;
}

bool VersionAdder::recordStaged(std::string* error)
{
    if (m_staged.empty())
        return true;
    if (m_index.generation() != m_generation)
        return fail(error, "the version index was replaced (by 'strataloom-cli check --repair') while versions of "
                               + m_item.path + " were being added; add them again");
    if (!recordLocation(m_index, m_document, m_item))
        return fail(error, "cannot record the document's new path: " + m_index.database().lastError());
    for (const Staged& staged : m_staged) {
        auto insert = m_index.statement(kInsertVersion);
        if (!insert.valid()
            || !insert->bind(1, m_document.rowId)
                    .bindText(2, staged.name)
                    .bind(3, static_cast<std::int64_t>(staged.fingerprint.size))
                    .bind(4, static_cast<std::int64_t>(staged.fingerprint.inode))
                    .bind(5, staged.fingerprint.changeTimeNs)
                    .bindBlob(6, staged.fingerprint.checksum)
                    .bind(7, staged.dates.modification.seconds)
                    .bind(8, staged.dates.modification.nanoseconds)
                    .bind(9, staged.dates.creation.seconds)
                    .bind(10, staged.dates.creation.nanoseconds)
                    .bind(11, staged.addedNs)
                    .bind(12, staged.automatic ? 1 : 0)
                    .run())
            return fail(error, "cannot record the version: " + m_index.database().lastError());
    }
    return true;
}

void VersionAdder::finishCommit()
{
    if (m_staged.empty())
        return;
    m_document.recordedPath = m_item.path;
    m_document.device = m_item.device;
    m_document.inode = m_item.inode;
    // Closing the files releases their locks: they are referenced now.
    m_staged.clear();
    m_log.reset();
    m_storeLock.reset();
}

// Appends the batch to the document's log. A document first stored by a
// release that kept no log gets its earlier versions logged first.
bool VersionAdder::logBatch(DocumentLog& log, std::string* error)
{
    const bool moved = m_document.recordedPath != m_item.path || m_document.device != m_item.device
                    || m_document.inode != m_item.inode;
    if (log.isNew()) {
        log.recordCreation(nowNs());
        auto query = m_index.statement(kSelectLoggedVersions);
        if (!query.valid())
            return fail(error, "cannot read the version index: " + m_index.database().lastError());
        query->bind(1, m_document.rowId);
        int result;
        while ((result = query->step()) == SQLITE_ROW) {
            LoggedVersion version;
            version.file = query->blob(0);
            version.size = static_cast<std::uint64_t>(query->integer(1));
            version.checksum = query->blob(2);
            version.dates.modification = FileTime{query->integer(3), static_cast<std::uint32_t>(query->integer(4))};
            version.dates.creation = FileTime{query->integer(5), static_cast<std::uint32_t>(query->integer(6))};
            version.addedNs = query->integer(7);
            version.automatic = query->integer(8) != 0;
            log.recordVersion(version);
            if (query->integer(9) != 0)
                log.recordPinned(version.file, true);
        }
        if (result != SQLITE_DONE)
            return fail(error, "cannot read the version index: " + m_index.database().lastError());
    }
    if (log.isNew() || moved)
        log.recordLocation({m_item.path, m_item.device, m_item.inode});
    const std::int64_t added = nowNs();
    for (Staged& staged : m_staged) {
        staged.addedNs = added;
        log.recordVersion(
            {staged.name, staged.fingerprint.size, staged.fingerprint.checksum, staged.dates, added, staged.automatic});
    }
    return log.write(error);
}

std::optional<FileVersion> VersionAdder::add(const std::string& itemPath, const std::string& contentsPath,
                                             std::string* error)
{
    if (!begin(itemPath, false, error))
        return std::nullopt;
    auto version = stage(contentsPath, error);
    if (!version || !commit(error))
        return std::nullopt;
    return version;
}

void VersionAdder::discardStaged()
{
    for (const Staged& staged : m_staged)
        unlinkat(m_folder.get(), staged.name.c_str(), 0);
    m_staged.clear();
    m_log.reset();
    m_storeLock.reset();
    // A shared batch holds other documents' files too; its owner clears it.
    if (!m_sharedBatch)
        m_durable.clear();
}

} // namespace strataloom::store
