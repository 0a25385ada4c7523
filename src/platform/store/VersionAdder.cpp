// The add pipeline: find the document, copy and checksum the contents into a
// locked temporary file, give it its dates, move it into the document's folder,
// then record it.
#include "VersionAdder.h"
#include "ContentHash.h"
#include "DocumentIdentity.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

// Large enough to move big files in few calls, small enough to stay in cache
// between reading, hashing and writing.
constexpr std::size_t kCopyBufferSize = 256 * 1024;

constexpr const char* kInsertVersion =
    "INSERT INTO versions (document, position, file, size, inode, change_time_ns, checksum, modification_s, "
    "modification_ns, creation_s, creation_ns, added_ns) VALUES (?1, (SELECT COALESCE(MAX(position), -1) + 1 "
    "FROM versions WHERE document = ?1), ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)";

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t changeTimeNs(const struct stat& status)
{
    return static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1'000'000'000 + status.st_ctim.tv_nsec;
}

} // namespace

VersionAdder::VersionAdder(StoreIndex& index)
    : m_index(index)
    , m_copyBuffer(std::make_unique<char[]>(kCopyBufferSize))
{
}

VersionAdder::~VersionAdder() = default;

std::optional<FileVersion> VersionAdder::add(const std::string& itemPath, const std::string& contentsPath,
                                             std::string* error)
{
    const auto fail = [&](std::string message) -> std::optional<FileVersion> {
        strataloom::fail(error, std::move(message));
        return std::nullopt;
    };

    const auto resolved = canonicalPath(itemPath);
    if (!resolved)
        return fail(errnoMessage("cannot find the document " + itemPath));
    struct stat itemStatus {};
    if (stat(resolved->c_str(), &itemStatus) != 0)
        return fail(errnoMessage("cannot examine the document " + *resolved));
    if (!S_ISREG(itemStatus.st_mode))
        return fail("the document " + *resolved + " is not a regular file");
    const Item identity{*resolved, documentIdOf(*resolved), static_cast<std::int64_t>(itemStatus.st_dev),
                        static_cast<std::int64_t>(itemStatus.st_ino)};

    UniqueFd source(open(contentsPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat sourceStatus {};
    if (!source.valid() || fstat(source.get(), &sourceStatus) != 0)
        return fail(errnoMessage("cannot read the contents file " + contentsPath));
    if (!S_ISREG(sourceStatus.st_mode))
        return fail("the contents file " + contentsPath + " is not a regular file");
    const std::optional<FileDates> dates = readDates(source.get());
    if (!dates)
        return fail(errnoMessage("cannot read the dates of " + contentsPath));

    std::string reason;
    if (!m_index.openForWriting(&reason))
        return fail(reason);
    // The document's record comes first, in its own short transaction, so the
    // stored file can go straight into the document's folder.
    Document document;
    if (!findOrCreateDocument(m_index, identity, document, &reason))
        return fail(reason);
    tagDocument(identity, document);

    const StoreLayout& layout = m_index.layout();
    const std::string fileName = randomId();
    const std::string temporary = layout.temporaryFilePath(fileName);
    const auto folder = layout.documentFolder(document.uuid);
    const auto stored = layout.storedFilePath(document.uuid, fileName);
    if (!folder || !stored)
        return fail("the version index has a document record with a malformed identity");
    UniqueFd target(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target.valid())
        return fail(errnoMessage("cannot create a file in the version store"));
    // Held until the index row is committed: clean-up leaves a locked file alone.
    flock(target.get(), LOCK_EX);
    // The document's folder is made on its first version.
    const auto putInPlace = [&] {
        if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, stored->c_str(), RENAME_NOREPLACE) == 0)
            return true;
        return errno == ENOENT && (mkdir(folder->c_str(), 0700) == 0 || errno == EEXIST)
            && renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, stored->c_str(), RENAME_NOREPLACE) == 0;
    };

    const std::optional<std::string> hash =
        copyChecksummed(source.get(), target.get(), m_copyBuffer.get(), kCopyBufferSize);
    if (!hash || !setDates(target.get(), *dates) || fchmod(target.get(), (sourceStatus.st_mode & 0777) | 0600) != 0
        || !putInPlace()) {
        const int cause = errno;
        unlink(temporary.c_str());
        return fail(errnoMessage("cannot copy " + contentsPath + " into the version store", cause));
    }
    // The change time is taken after the rename, which sets it.
    struct stat storedStatus {};
    if (fstat(target.get(), &storedStatus) != 0) {
        const int cause = errno;
        unlink(stored->c_str());
        return fail(errnoMessage("cannot examine the stored copy", cause));
    }

    StoredFingerprint fingerprint;
    fingerprint.size = static_cast<std::uint64_t>(storedStatus.st_size);
    fingerprint.inode = static_cast<std::uint64_t>(storedStatus.st_ino);
    fingerprint.changeTimeNs = changeTimeNs(storedStatus);
    fingerprint.checksum = *hash;

    const auto recordFailure = [&](const std::string& what) {
        std::string message = what + ": " + m_index.database().lastError();
        m_index.rollback();
        unlink(stored->c_str());
        return fail(message);
    };
    if (!m_index.beginWriting())
        return recordFailure("cannot write the version index");
    if (!recordLocation(m_index, document, identity))
        return recordFailure("cannot record the document's new path");
    auto insert = m_index.statement(kInsertVersion);
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
    if (!m_index.commit())
        return recordFailure("cannot write the version index");
    return FileVersion(FileUrl::fromPath(*stored), std::move(fingerprint), *dates);
}

} // namespace strataloom::store
