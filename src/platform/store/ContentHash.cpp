#include "ContentHash.h"
#include "SparseCopy.h"

#include <xxhash.h>

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace strataloom {

namespace {

constexpr std::size_t kHashBufferSize = 1 << 18;
constexpr std::size_t kZerosSize = 1 << 16;
alignas(64) const char kZeros[kZerosSize] = {};

ssize_t readSome(int fd, char* buffer, std::size_t size)
{
    ssize_t got;
    do
        got = read(fd, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

} // namespace

Checksum::Checksum()
    : m_state(XXH3_createState())
{
    m_ok = m_state && XXH3_128bits_reset(m_state) == XXH_OK;
}

Checksum::~Checksum()
{
    XXH3_freeState(m_state);
}

void Checksum::update(const char* data, std::size_t size)
{
    m_ok = m_ok && XXH3_128bits_update(m_state, data, size) == XXH_OK;
}

void Checksum::updateZeros(std::uint64_t size)
{
    while (size > 0 && m_ok) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, kZerosSize));
        update(kZeros, piece);
        size -= piece;
    }
}

std::optional<std::string> Checksum::finish()
{
    if (!m_ok) {
        errno = ENOMEM;
        return std::nullopt;
    }
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(m_state));
    static_assert(sizeof canonical.digest == kChecksumSize);
    return std::string(reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest);
}

std::optional<std::string> checksumOfFile(int fd)
{
    std::unique_ptr<char[]> buffer(new char[kHashBufferSize]);
    Checksum checksum;
    for (;;) {
        const ssize_t got = readSome(fd, buffer.get(), kHashBufferSize);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return checksum.finish();
        checksum.update(buffer.get(), static_cast<std::size_t>(got));
    }
}

std::optional<std::string> checksumOfContents(int fd, std::uint64_t size, char* buffer, std::size_t bufferSize)
{
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return std::nullopt;
    size = std::min(size, static_cast<std::uint64_t>(status.st_size));
    Checksum checksum;
    std::uint64_t summed = 0;
    bool ended = false;
    const bool read = forEachDataRun(fd, size, [&](std::uint64_t begin, std::uint64_t end) {
        checksum.updateZeros(begin - summed);
        summed = begin;
        while (summed < end) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, end - summed));
            const ssize_t got = pread(fd, buffer, want, static_cast<off_t>(summed));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return false;
            if (got == 0) { // the file ends here now
                ended = true;
                errno = 0;
                return false;
            }
            checksum.update(buffer, static_cast<std::size_t>(got));
            summed += static_cast<std::uint64_t>(got);
        }
        return true;
    });
    if (!read && !ended)
        return std::nullopt;
    if (!ended)
        checksum.updateZeros(size - summed);
    return checksum.finish();
}

} // namespace strataloom
