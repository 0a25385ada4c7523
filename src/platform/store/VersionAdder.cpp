// The add pipeline: find the document, copy and checksum the contents into a
// new locked file in the document's folder, give it its dates, make the batch
// durable, then record it.
#include "VersionAdder.h"
#include "AddedContents.h"
#include "DocumentLog.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "RecordFiles.h"
#include "StoredRecords.h"
#include "VerifiedCopy.h"
#include "VersionContents.h"
#include "records/RecordCodec.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// Smaller contents are read sooner than the record of the document's newest
// version is looked up and mapped.
constexpr std::uint64_t kKnownContentsFrom = 64 * 1024;

} // namespace

VersionAdder::VersionAdder(StoreIndex& index, DurableBatch& durable, char* copyBuffer)
    : m_index(index)
    , m_durable(durable)
    , m_copyBuffer(copyBuffer)
{
}

VersionAdder::~VersionAdder()
{
    discardStaged();
}

bool VersionAdder::begin(DocumentFile file, bool newDocument, std::string* error, const std::optional<Document>& known)
{
    discardStaged();
    m_begun = false;
    m_createdRecord = false;
    m_committed = false;
    m_folder.reset();
    m_file = std::move(file);
    m_item = examineItem(m_file);
    if (newDocument)
        m_item.id.reset();
    m_newDocument = newDocument;
    m_document = known ? *known : Document{};
    m_begun = holdStore(error) && recordDocument(known.has_value(), error);
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

bool VersionAdder::recordDocument(bool known, std::string* error)
{
    if (!known) {
        // The document's record comes first, in its own short transaction, so
        // the stored files can go straight into the document's folder. Looked
        // up again after a repair, it is the document it was, by its id.
        const std::string before = m_document.uuid;
        Item item = m_item;
        if (!before.empty())
            item.id = before;
        bool created = false;
        const bool found = m_newDocument && before.empty()
                             ? createDocument(m_index, item, m_document, error)
                             : findOrCreateDocument(m_index, item, m_document, error, &created);
        if (!found)
            return false;
        m_createdRecord = m_createdRecord || created || (m_newDocument && before.empty());
        if (m_document.uuid != before)
            m_folder.reset();
    }
    m_generation = m_index.generation();
    tagDocument(m_file.fd.get(), m_item, m_document);
    return true;
}

void VersionAdder::reopen(DocumentFile file)
{
    m_file = std::move(file);
    m_item = examineItem(m_file);
    tagDocument(m_file.fd.get(), m_item, m_document);
}

std::optional<NewestContents> VersionAdder::lastStaged() const
{
    if (m_staged.empty())
        return std::nullopt;
    const Staged& last = m_staged.back();
    return NewestContents{last.fingerprint.size, last.fingerprint.checksum, last.seen};
}

bool VersionAdder::openDocumentFolder(bool create, std::string* error)
{
    if (m_folder.valid())
        return true;
    const StoreLayout& layout = m_index.layout();
    const auto folder = layout.documentFolder(m_document.uuid);
    if (!folder)
        return fail(error, "the version index has a document record with a malformed identity");
    if (!m_documents.valid())
        m_documents.reset(layout.openDocumentsFolder());
    if (!m_documents.valid())
        return fail(error, errnoMessage("cannot open the folder " + layout.documentsFolder()));
    const std::string name = m_document.uuid;
    // The document's folder is made for its first record file: a document
    // whose contents are all packed has none, which would take a block.
    if (create && mkdirat(m_documents.get(), name.c_str(), 0700) == 0)
        m_durable.addFolder(layout.documentsFolder());
    else if (create && errno != EEXIST)
        return fail(error, errnoMessage("cannot create the folder " + *folder));
    m_folder.reset(openat(m_documents.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!m_folder.valid() && (create || errno != ENOENT))
        return fail(error, errnoMessage("cannot open the folder " + *folder));
    m_folderPath = *folder;
    return true;
}

namespace {

// Contents whose start zstd's fastest level cannot bring under the sample's
// limit do not pack at kRecordLevel either: on the texts and office files of
// the benchmarks, every one that packed took at most 3.3 KiB this way, while
// most that did not (texts of tens of KiB) take over 5 KiB. The sample costs
// a small part of the full try it spares them.
constexpr std::uint64_t kPackSampleSize = 16 * 1024;
constexpr std::uint64_t kPackSampleLimit = kPackedLimit * 3 / 2;
constexpr int kPackSampleLevel = 1;

} // namespace

// The bytes of a packed compressed record holding the copy `fd`, when they
// fit kPackedLimit; larger contents are not tried, as they seldom fit and
// would slow every add. A copy that cannot be encoded is kept as a file.
std::optional<std::string> VersionAdder::packSmall(int fd, const StoredFingerprint& fingerprint)
{
    if (fingerprint.size > kPackTryLimit)
        return std::nullopt;
    std::string bytes;
    if (fingerprint.size > kPackedLimit) {
        // A sample that does not shrink at all (contents shorter than the
        // limit, which do not compress) does not pack either.
        const std::uint64_t sampleSize = std::min(fingerprint.size, kPackSampleSize);
        const auto sample =
            encodeRecord({fd, sampleSize, std::nullopt}, nullptr, bytes,
                         {kPackSampleLevel, std::min(kPackSampleLimit, kRecordHeaderLength + sampleSize)});
        if (!sample || !sample->length)
            return std::nullopt;
        bytes.clear();
    }
    const auto encoded =
        encodeRecord({fd, fingerprint.size, fingerprint.checksum}, nullptr, bytes, {kRecordLevel, kPackedLimit});
    if (!encoded || !encoded->length)
        return std::nullopt;
    return bytes;
}

std::optional<FileVersion> VersionAdder::stageDocument(std::string* error)
{
    struct stat before {};
    if (m_begun && fstat(m_file.fd.get(), &before) != 0) {
        fail(error, errnoMessage("cannot examine the document " + m_item.path));
        return std::nullopt;
    }
    return stageFrom(m_file.fd, before, m_item.path, true, error);
}

std::optional<FileVersion> VersionAdder::stage(const UniqueFd& source, const struct stat& before,
                                               const std::string& contentsPath, std::string* error)
{
    return stageFrom(source, before, contentsPath, false, error);
}

std::optional<FileVersion> VersionAdder::stageFrom(const UniqueFd& source, struct stat before,
                                                   const std::string& contentsPath, bool ownContents,
                                                   std::string* error)
{
    // A repair that ran since the document was recorded left a new index,
    // where its record is looked up again.
    if (m_begun && !m_storeLock
        && (!holdStore(error) || (m_index.generation() != m_generation && !recordDocument(false, error)))) {
        m_storeLock.reset();
        return std::nullopt;
    }
    auto version = stageCopy(source, before, contentsPath, ownContents, error);
    // A long-lived adder (the version window's) that failed gives the store back.
    if (!version && m_staged.empty())
        m_storeLock.reset();
    return version;
}

std::optional<FileVersion> VersionAdder::stageCopy(const UniqueFd& source, const struct stat& before,
                                                   const std::string& contentsPath, bool ownContents,
                                                   std::string* error)
{
    if (!m_begun) {
        fail(error, "no document to add versions to");
        return std::nullopt;
    }
    if (!openDocumentFolder(false, error))
        return std::nullopt;
    Staged staged;
    // The contents file's permissions, with the owner always able to read and write.
    const mode_t mode = (before.st_mode & 0777) | 0600;
    const auto size = static_cast<std::uint64_t>(before.st_size);
    // Contents kept without a file of this version's still give it a name.
    const auto dropFile = [&] {
        if (staged.name.empty())
            staged.name = randomId();
        else if (!staged.unnamed)
            unlinkat(m_folder.get(), staged.name.c_str(), 0);
        staged.unnamed = false;
        staged.file.reset();
    };
    const auto abandon = [&](std::string message) -> std::optional<FileVersion> {
        dropFile();
        fail(error, std::move(message));
        return std::nullopt;
    };

    // An unchanged document holds its newest version again, which its
    // extents tell on file systems that clone: nothing is copied or read.
    std::optional<StoredRecord> newest;
    std::optional<VerifiedCopy> copy;
    if (size >= kKnownContentsFrom && (newest = newestWholeRecord(m_index, m_document.rowId, size))) {
        const UniqueFd newestFile = VersionContents(m_index).open(*newest);
        if (newestFile.valid())
            copy = matchKnown(source.get(), {newestFile.get(), newest->checksum});
    }
    std::string reason;
    bool syncNow = false;
    bool mayDelta = false;
    struct stat stored {};
    if (copy) {
        staged.fingerprint.size = newest->size;
    } else {
        newest.reset();
        // Contents that may pack are copied into an unnamed file first, so that
        // a document whose contents all pack never gets a folder; so are
        // versions staged together from other files (unarchived), which
        // become deltas of the next one without a whole file ever named.
        const bool mayPack = S_ISREG(before.st_mode) && size <= kPackTryLimit;
        mayDelta = !ownContents && S_ISREG(before.st_mode) && size <= kDeltaLimit;
        // A file system without unnamed files has the copy made in the folder.
        if (mayPack || mayDelta)
            staged.file.reset(m_index.layout().openUnnamedTemporaryFile());
        if (!staged.file.valid() && openDocumentFolder(true, error))
            staged.file = createStoredFile(staged.name, mode, error);
        if (!staged.file.valid())
            return std::nullopt;
        // Named now, so that the version staged before may be a delta of it.
        staged.unnamed = staged.name.empty();
        if (staged.unnamed)
            staged.name = randomId();
        // A copy the batch would sync on its own is synced while it is
        // verified, unless it may be packed instead, which would lose that sync.
        syncNow = !mayPack && !mayDelta && m_durable.syncsEachFile();
        copy = copyVerified(source.get(), staged.file.get(), m_copyBuffer, kCopyBufferSize, contentsPath, syncNow,
                            &reason);
        if (!copy)
            return abandon(reason);
        if (fstat(staged.file.get(), &stored) != 0)
            return abandon(errnoMessage("cannot copy " + contentsPath + " into the version store"));
        staged.fingerprint.size = static_cast<std::uint64_t>(stored.st_size);
    }
    staged.dates = copy->dates;
    staged.fingerprint.checksum = copy->checksum;
    staged.automatic = m_automatic;
    // Unchanged over the copy: the document's file in the state copied holds the version.
    if (ownContents)
        staged.seen = recordableState(copy->status);
    std::string path;
    // Contents stored already are named, not kept twice; the copy, never
    // made durable, goes before anything records it.
    auto identical = newest ? newest
                            : findIdenticalRecord(m_index, staged.file.get(), copy->checksum, staged.fingerprint.size,
                                                  m_copyBuffer, kCopyBufferSize);
    // The version staged before, left unnamed, becomes a delta of this copy
    // while it is at hand, whatever this one is kept as. Only an unnamed copy
    // is sure to be staged from here on: one made with a name (no unnamed
    // files there) may still fail to be kept, and must not be a base.
    if (!ownContents && !settlePending(identical || !staged.unnamed ? nullptr : &staged, error)) {
        dropFile();
        return std::nullopt;
    }
    staged.mode = mode;
    if (identical) {
        dropFile();
        staged.fingerprint.inode = identical->file ? identical->file->inode : 0;
        staged.fingerprint.changeTimeNs = identical->file ? identical->file->changeTimeNs : 0;
        path = *m_index.layout().storedFilePath(identical->holderId, identical->name);
        staged.shared = std::move(*identical);
    } else if ((staged.packed = packSmall(staged.file.get(), staged.fingerprint))) {
        // Small contents go into the log and the index, durable with the log:
        // no file is kept, which would take a block and a name of its own.
        dropFile();
        staged.kind = RecordKind::Compressed;
        staged.encodedLength = staged.storedBytes = staged.packed->size();
        path = *m_index.layout().storedFilePath(m_document.uuid, staged.name);
    } else {
        // One that may become a delta of the next is left unnamed until then.
        if ((!staged.unnamed || !mayDelta) && !keepCopy(staged, syncNow, error))
            return std::nullopt;
        path = m_folderPath + "/" + staged.name;
    }
    FileVersion version(FileUrl::fromPath(path), staged.fingerprint, staged.dates, m_index.layout().location(),
                        m_document.uuid, staged.name, m_automatic);
    if (staged.shared)
        version.setRecord(staged.shared->name, staged.shared->holderId, static_cast<int>(staged.shared->kind),
                          staged.shared->storedBytes);
    else
        version.setRecord(staged.name, m_document.uuid, static_cast<int>(staged.kind), staged.storedBytes);
    m_staged.push_back(std::move(staged));
    return version;
}

} // namespace strataloom::store
