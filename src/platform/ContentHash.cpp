#include "ContentHash.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>

#include <unistd.h>

namespace strataloom {

namespace {

constexpr std::size_t kHashBufferSize = 1 << 18;
constexpr std::size_t kSmallestChunk = 16 * 1024;

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

} // namespace

// An incremental SHA-256; a failure inside OpenSSL shows at finish().
struct Sha256 {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    bool ok = false;

    void start() { ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1; }
    void update(const char* data, std::size_t size)
    {
        ok = ok && EVP_DigestUpdate(context.get(), data, size) == 1;
    }
    std::optional<std::string> finish()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
            errno = ENOMEM;
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(digest), length);
    }
};

std::optional<std::string> sha256OfFile(int fd)
{
    std::unique_ptr<char[]> buffer(new char[kHashBufferSize]);
    Sha256 digest;
    digest.start();
    for (;;) {
        const ssize_t got = readSome(fd, buffer.get(), kHashBufferSize);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return digest.finish();
        digest.update(buffer.get(), static_cast<std::size_t>(got));
    }
}

HashingCopier::HashingCopier()
    : m_buffer(new char[kSlots * kSlotSize])
    , m_digest(std::make_unique<Sha256>())
    , m_thread([this] { hashChunks(); })
{
}

HashingCopier::~HashingCopier()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_one();
    m_thread.join();
}

void HashingCopier::hashChunks()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stopping || m_hashed < m_submitted; });
        if (m_hashed == m_submitted)
            return;
        const std::size_t slot = m_hashed % kSlots;
        const std::size_t size = m_sizes[slot];
        lock.unlock();
        m_digest->update(m_buffer.get() + slot * kSlotSize, size);
        lock.lock();
        ++m_hashed;
        m_done.notify_one();
    }
}

void HashingCopier::waitUntilHashed(std::size_t count, std::unique_lock<std::mutex>& lock)
{
    m_done.wait(lock, [&] { return m_hashed >= count; });
}

std::optional<std::string> HashingCopier::copy(int in, int out, std::size_t sizeHint)
{
    // Small files are cut into a few chunks so that hashing can start early.
    const std::size_t chunk = std::clamp(sizeHint / 4 / kSmallestChunk * kSmallestChunk, kSmallestChunk, kSlotSize);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_digest->start();
    bool failed = false;
    for (;;) {
        // The slot about to be filled must be hashed already.
        if (m_submitted >= kSlots)
            waitUntilHashed(m_submitted - kSlots + 1, lock);
        char* slot = m_buffer.get() + (m_submitted % kSlots) * kSlotSize;
        lock.unlock();
        const ssize_t got = readSome(in, slot, chunk);
        lock.lock();
        if (got <= 0) {
            failed = got < 0;
            break;
        }
        m_sizes[m_submitted % kSlots] = static_cast<std::size_t>(got);
        ++m_submitted;
        m_work.notify_one();
        lock.unlock();
        const bool written = writeAll(out, slot, static_cast<std::size_t>(got));
        lock.lock();
        if (!written) {
            failed = true;
            break;
        }
    }
    const int cause = errno;
    waitUntilHashed(m_submitted, lock);
    if (failed) {
        errno = cause;
        return std::nullopt;
    }
    return m_digest->finish();
}

} // namespace strataloom
