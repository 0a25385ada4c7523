// The stored form of a staged version's contents: a file of the document's
// folder, or, for versions staged together from other files (unarchive), a
// delta against the version staged after it, so that the whole copy of each
// but the last is never named, synced or unlinked.
#include "CanonicalContents.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "RecordFiles.h"
#include "VerifiedCopy.h"
#include "VersionAdder.h"
#include "records/RecordCodec.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

// Contents copied into an unnamed file, which did not pack, become a stored
// file of the document's folder: the unnamed file itself is given a name
// there, or where it cannot be (a folder on another file system), its bytes
// are copied. On failure the unnamed file is left as it was.
bool VersionAdder::keepAsFile(Staged& staged, std::string* error)
{
    if (!openDocumentFolder(true, error))
        return false;
    // Its name may be a delta's base already.
    if (nameUnnamed(staged.file.get(), staged.name, staged.mode))
        return true;
    UniqueFd copy = createStoredFile(staged.name, staged.mode, error, true);
    if (!copy.valid())
        return false;
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(staged.file.get(), m_copyBuffer, kCopyBufferSize, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 && setDates(copy.get(), staged.dates)) {
            staged.file = std::move(copy);
            return true;
        }
        if (got <= 0 || !writeAll(copy.get(), std::string_view(m_copyBuffer, static_cast<std::size_t>(got)))) {
            fail(error, errnoMessage("cannot write a file in the version store"));
            unlinkat(m_folder.get(), staged.name.c_str(), 0);
            return false;
        }
        offset += got;
    }
}

// Links the unnamed file `fd` into the folder as `name`, locked and with the
// version's permissions before it has a name, so that clean-up never finds it
// unlocked.
bool VersionAdder::nameUnnamed(int fd, const std::string& name, mode_t mode)
{
    if (fchmod(fd, mode) != 0 || flock(fd, LOCK_EX) != 0)
        return false;
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, link.c_str(), m_folder.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// A new stored file under a fresh random name (or `name` when `keepName`),
// locked. Clean-up may remove a file in the instant between its creation and
// its lock, so a file found unlinked once locked is given up for another.
UniqueFd VersionAdder::createStoredFile(std::string& name, mode_t mode, std::string* error, bool keepName)
{
    for (;;) {
        if (!keepName)
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

bool VersionAdder::keepCopy(Staged& staged, bool syncNow, std::string* error)
{
    if (staged.unnamed && !keepAsFile(staged, error))
        return false;
    std::string reason;
    struct stat stored {};
    if (fstat(staged.file.get(), &stored) != 0)
        reason = errnoMessage("cannot keep a copy in the version store");
    else if (m_durable.addFile(staged.file.get(), &reason, syncNow)) {
        staged.unnamed = false;
        staged.fingerprint.inode = static_cast<std::uint64_t>(stored.st_ino);
        staged.fingerprint.changeTimeNs = nanoseconds(stored.st_ctim);
        staged.storedBytes = static_cast<std::uint64_t>(stored.st_blocks) * 512;
        return true;
    }
    // Its name goes; an unnamed copy stays open, unnamed again, to be kept
    // at the commit or dropped with the batch.
    unlinkat(m_folder.get(), staged.name.c_str(), 0);
    if (!staged.unnamed)
        staged.file.reset();
    return fail(error, reason);
}

std::vector<std::string> VersionAdder::triedWhenStaged() const
{
    std::vector<std::string> names;
    for (const Staged& staged : m_staged)
        if (staged.tried)
            names.push_back(staged.name);
    std::sort(names.begin(), names.end());
    return names;
}

bool VersionAdder::settlePending(const Staged* newer, std::string* error)
{
    if (m_staged.empty() || !m_staged.back().unnamed)
        return true;
    Staged& older = m_staged.back();
    std::optional<bool> encoded = false;
    if (newer)
        encoded = encodePending(older, *newer, error);
    if (!encoded)
        return false;
    return *encoded || keepCopy(older, false, error);
}

std::optional<bool> VersionAdder::encodePending(Staged& older, const Staged& newer, std::string* error)
{
    // Against contents of the newer's own, whole, within the codec's limit.
    if (!newer.file.valid() || newer.fingerprint.size > kDeltaLimit)
        return false;
    // An archive is left whole for compaction, which keeps its canonical form.
    if (startsLikeZip(older.file.get()))
        return false;
    // Readers of the deltas staged before it walk through it too.
    std::size_t above = 0;
    for (auto before = m_staged.rbegin() + 1; before != m_staged.rend() && before->kind == RecordKind::Delta; ++before)
        ++above;
    bool delta = above + 1 < static_cast<std::size_t>(kMaxChain);
    const ContentsFile contents{older.file.get(), older.fingerprint.size, older.fingerprint.checksum};
    const DeltaBase base{newer.name, {newer.file.get(), newer.fingerprint.size, newer.fingerprint.checksum}};
    const std::uint64_t most = older.fingerprint.size * (delta ? kDeltaPaysPercent : kCompressionPaysPercent) / 100;
    older.tried = true;
    // Versions staged together are alike: after one that did not shrink the
    // next is sampled first, which spares a full try of contents that never
    // do (photos, video, encrypted files), and costs those that do nothing.
    if (!m_lastStagedShrank && !mayShrink(contents, delta ? &base : nullptr))
        return false;
    std::string bytes;
    auto encoded = encodeRecord(contents, delta ? &base : nullptr, bytes, {.maxLength = most}, error);
    // Where the delta does not pay, the contents are compressed, as
    // re-encoding does: unlike their neighbour, they may still shrink alone.
    if (encoded && delta && !encoded->length) {
        bytes.clear();
        delta = false;
        encoded = encodeRecord(contents, nullptr, bytes,
                               {.maxLength = older.fingerprint.size * kCompressionPaysPercent / 100}, error);
    }
    if (!encoded)
        return std::nullopt;
    m_lastStagedShrank = encoded->length.has_value();
    if (!encoded->length)
        return false;
    UniqueFd file;
    struct stat status {};
    if (bytes.size() > kPackedLimit) {
        if (!openDocumentFolder(true, error))
            return std::nullopt;
        file = createRecordFile(m_folder.get(), older.name, error, true);
        if (!file.valid())
            return std::nullopt;
        if (!writeAll(file.get(), bytes) || fstat(file.get(), &status) != 0) {
            unlinkat(m_folder.get(), older.name.c_str(), 0);
            fail(error, errnoMessage("cannot write a record in the version store"));
            return std::nullopt;
        }
        if (!m_durable.addFile(file.get(), error)) {
            unlinkat(m_folder.get(), older.name.c_str(), 0);
            return std::nullopt;
        }
    }
    older.kind = delta ? RecordKind::Delta : RecordKind::Compressed;
    older.unnamed = false;
    older.encodedLength = bytes.size();
    older.fingerprint.inode = static_cast<std::uint64_t>(status.st_ino);
    older.fingerprint.changeTimeNs = file.valid() ? nanoseconds(status.st_ctim) : 0;
    older.storedBytes = file.valid() ? allocatedBytes(status) : bytes.size();
    if (!file.valid())
        older.packed = std::move(bytes);
    older.file = std::move(file);
    return true;
}

} // namespace strataloom::store
