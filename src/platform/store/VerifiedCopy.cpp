#include "VerifiedCopy.h"
#include "ContentHash.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "Nanoseconds.h"
#include "SharedExtents.h"
#include "SparseCopy.h"

#include <cerrno>
#include <ctime>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace strataloom::store {

namespace {

// A document rewritten while it is copied is copied again this many times
// before the add fails.
constexpr int kCopyAttempts = 4;

// How long since its last change a file must have rested for any later write
// to stamp a new change time: well over the coarsest clock tick that stamps
// times, and over the gap between looking at the file and copying it.
constexpr std::int64_t kRestedNs = 1'000'000'000;

std::function<void(std::uint64_t)>& copyStepHook()
{
    static std::function<void(std::uint64_t)> hook;
    return hook;
}

// Whether the file looked at as `before` still has the same size,
// modification and change times.
bool unchangedSince(const struct stat& before, const struct stat& after)
{
    return before.st_size == after.st_size && nanoseconds(before.st_mtim) == nanoseconds(after.st_mtim)
        && nanoseconds(before.st_ctim) == nanoseconds(after.st_ctim);
}

// Waits for a copy's data to reach stable storage on a thread of its own, so
// that the wait, which is the disk's, overlaps the verification's reads,
// which are the processor's. Joined by the time it is destroyed.
class BackgroundSync {
public:
    explicit BackgroundSync(int fd)
        : m_fd(fd)
    {
        try {
            m_thread = std::jthread([this] { run(); });
        } catch (const std::system_error&) {
            run(); // no thread to spare: the sync is only not overlapped
        }
    }
    // The thread refers to this object.
    BackgroundSync(const BackgroundSync&) = delete;
    BackgroundSync& operator=(const BackgroundSync&) = delete;

    // 0, or the errno fdatasync() gave. Its error is reported once per open
    // file, so no later sync of the same descriptor would see it again.
    int wait()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_errno;
    }

private:
    void run() { m_errno = fdatasync(m_fd) == 0 ? 0 : errno; }

    int m_fd;
    int m_errno = 0;
    std::jthread m_thread;
};

// What one attempt gives: a copy that holds one state of the source, its
// checksum and dates; a copy that mixes states (none); or a failure.
struct Attempt {
    bool failed = false;
    std::optional<VerifiedCopy> copy;
};

Attempt copyOnce(int in, int out, char* buffer, std::size_t bufferSize, const std::string& sourceName, bool syncNow,
                 std::string* error)
{
    const auto failure = [&](std::string message) {
        fail(error, std::move(message));
        return Attempt{true, std::nullopt};
    };
    const std::string cannotCopy = "cannot copy " + sourceName + " into the version store";
    struct stat before {};
    if (fstat(in, &before) != 0)
        return failure(errnoMessage("cannot examine " + sourceName));
    const std::optional<FileDates> dates = readDates(in);
    if (!dates)
        return failure(errnoMessage("cannot read the dates of " + sourceName));
    const bool rested = nowNs() - nanoseconds(before.st_ctim) >= kRestedNs;
    const auto size = static_cast<std::uint64_t>(before.st_size);

    // The buffer copy checksums what it writes, holes as zeros.
    Checksum written;
    std::uint64_t writtenEnd = 0;
    CopyListener listener;
    listener.passed = [&](std::uint64_t offset, const char* data, std::size_t length) {
        written.updateZeros(offset - writtenEnd);
        written.update(data, length);
        writtenEnd = offset + length;
    };
    if (copyStepHook())
        listener.stepped = copyStepHook();
    CopyMethod method = CopyMethod::Kernel;
    // Only a copy tried again has anything to cut: ext4 writes out at its
    // close any file cut to nothing, which a copy dropped for a delta would
    // pay for in writes.
    struct stat target {};
    if (fstat(out, &target) != 0 || (target.st_size != 0 && ftruncate(out, 0) != 0)
        || !copyKeepingHoles(in, out, size, buffer, bufferSize, method, false, listener))
        return failure(errnoMessage(cannotCopy));
    // Dated before its sync, so that the sync leaves nothing of it to write.
    if (!setDates(out, *dates))
        return failure(errnoMessage(cannotCopy));
    std::optional<BackgroundSync> sync;
    if (syncNow)
        sync.emplace(out);

    // The kernel's copy is read back from the page cache it just filled; a
    // clone only when a write after it might have gone unstamped.
    std::optional<std::string> copied;
    if (method == CopyMethod::Buffer) {
        written.updateZeros(size - writtenEnd);
        copied = written.finish();
    } else if (method == CopyMethod::Kernel || !rested) {
        copied = checksumOfContents(out, size, buffer, bufferSize);
    }
    if (!copied && (method != CopyMethod::Clone || !rested))
        return failure(errnoMessage(cannotCopy));
    // The second look at the source, from the page cache the copy filled.
    const std::optional<std::string> source = checksumOfContents(in, size, buffer, bufferSize);
    if (!source)
        return failure(errnoMessage(cannotCopy));
    struct stat after {};
    if (fstat(in, &after) != 0)
        return failure(errnoMessage("cannot examine " + sourceName));
    if (!unchangedSince(before, after) || (copied && *copied != *source))
        return {};
    if (const int cause = sync ? sync->wait() : 0; cause != 0)
        return failure(errnoMessage("cannot write the copy of " + sourceName + " to disk", cause));
    return {false, VerifiedCopy{*source, *dates, after}};
}

} // namespace

std::optional<VerifiedCopy> copyVerified(int in, int out, char* buffer, std::size_t bufferSize,
                                         const std::string& sourceName, bool syncNow, std::string* error)
{
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        Attempt result = copyOnce(in, out, buffer, bufferSize, sourceName, syncNow, error);
        if (result.failed)
            return std::nullopt;
        if (result.copy)
            return std::move(result.copy);
    }
    fail(error, "cannot copy " + sourceName + " into the version store: it kept changing while it was copied");
    return std::nullopt;
}

std::optional<VerifiedCopy> matchKnown(int in, const KnownContents& known)
{
    // The map is taken after the file's dirty pages are written, and a write
    // that comes later stamps the times looked at after it.
    struct stat before {};
    if (fstat(in, &before) != 0 || nowNs() - nanoseconds(before.st_ctim) < kRestedNs)
        return std::nullopt;
    const std::optional<FileDates> dates = readDates(in);
    struct stat after {};
    if (!dates || !sameExtents(in, known.fd) || fstat(in, &after) != 0 || !unchangedSince(before, after))
        return std::nullopt;
    return VerifiedCopy{known.checksum, *dates, after};
}

std::uint64_t allocatedBytes(const struct stat& status)
{
    return static_cast<std::uint64_t>(status.st_blocks) * 512;
}

void setCopyStepHookForTests(std::function<void(std::uint64_t reached)> hook)
{
    copyStepHook() = std::move(hook);
}

} // namespace strataloom::store
