#include "ContentHash.h"

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include <unistd.h>

namespace strataloom {

namespace {

constexpr std::size_t kHashBufferSize = 1 << 18;

class Checksum {
public:
    Checksum()
        : m_state(XXH3_createState(), XXH3_freeState)
    {
        m_ok = m_state && XXH3_128bits_reset(m_state.get()) == XXH_OK;
    }
    void update(const char* data, std::size_t size)
    {
        m_ok = m_ok && XXH3_128bits_update(m_state.get(), data, size) == XXH_OK;
    }
    std::optional<std::string> finish()
    {
        if (!m_ok) {
            errno = ENOMEM;
            return std::nullopt;
        }
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(m_state.get()));
        static_assert(sizeof canonical.digest == kChecksumSize);
        return std::string(reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest);
    }

private:
    std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> m_state;
    bool m_ok = false;
};

ssize_t readSome(int fd, char* buffer, std::size_t size)
{
    ssize_t got;
    do
        got = read(fd, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

std::optional<std::string> checksumReading(int fd, char* buffer, std::size_t bufferSize)
{
    Checksum checksum;
    for (;;) {
        const ssize_t got = readSome(fd, buffer, bufferSize);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return checksum.finish();
        checksum.update(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<std::string> readWriteCopy(int in, int out, char* buffer, std::size_t bufferSize)
{
    Checksum checksum;
    for (;;) {
        const ssize_t got = readSome(in, buffer, bufferSize);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return checksum.finish();
        checksum.update(buffer, static_cast<std::size_t>(got));
        if (!writeAll(out, buffer, static_cast<std::size_t>(got)))
            return std::nullopt;
    }
}

} // namespace

std::optional<std::string> checksumOfFile(int fd)
{
    std::unique_ptr<char[]> buffer(new char[kHashBufferSize]);
    return checksumReading(fd, buffer.get(), kHashBufferSize);
}

std::optional<std::string> copyChecksummed(int in, int out, char* buffer, std::size_t bufferSize,
                                           std::optional<std::uint64_t> size)
{
    std::uint64_t copiedTotal = 0;
    // A known size spares the call that would only find the end.
    while (!size || copiedTotal < *size) {
        std::size_t chunk = bufferSize * 64;
        if (size && *size - copiedTotal < chunk)
            chunk = static_cast<std::size_t>(*size - copiedTotal);
        const ssize_t copied = copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (copied > 0) {
            copiedTotal += static_cast<std::uint64_t>(copied);
            continue;
        }
        if (copied == 0)
            break;
        if (errno == EINTR)
            continue;
        // A kernel or file system that cannot copy between these files says
        // so on the first call; a later failure is a real one.
        if (copiedTotal == 0
            && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM))
            return readWriteCopy(in, out, buffer, bufferSize);
        return std::nullopt;
    }
    // Read back from the start, exactly what was copied.
    Checksum checksum;
    for (std::uint64_t offset = 0; offset < copiedTotal;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, copiedTotal - offset));
        const ssize_t got = pread(out, buffer, want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO;
            return std::nullopt;
        }
        checksum.update(buffer, static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
    }
    return checksum.finish();
}

} // namespace strataloom
