#include "ContentHash.h"

#include <openssl/evp.h>

#include <cerrno>
#include <memory>

#include <unistd.h>

namespace strataloom {

namespace {

constexpr std::size_t kHashBufferSize = 1 << 18;

class Sha256 {
public:
    Sha256() : m_context(EVP_MD_CTX_new(), EVP_MD_CTX_free)
    {
        m_ok = m_context && EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) == 1;
    }
    void update(const char* data, std::size_t size)
    {
        m_ok = m_ok && EVP_DigestUpdate(m_context.get(), data, size) == 1;
    }
    std::optional<std::string> finish()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!m_ok || EVP_DigestFinal_ex(m_context.get(), digest, &length) != 1) {
            errno = ENOMEM;
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(digest), length);
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_context;
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

} // namespace

std::optional<std::string> sha256OfFile(int fd)
{
    std::unique_ptr<char[]> buffer(new char[kHashBufferSize]);
    Sha256 hash;
    for (;;) {
        const ssize_t got = readSome(fd, buffer.get(), kHashBufferSize);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return hash.finish();
        hash.update(buffer.get(), static_cast<std::size_t>(got));
    }
}

std::optional<std::string> copyHashing(int in, int out, char* buffer, std::size_t bufferSize)
{
    Sha256 hash;
    for (;;) {
        const ssize_t got = readSome(in, buffer, bufferSize);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return hash.finish();
        hash.update(buffer, static_cast<std::size_t>(got));
        if (!writeAll(out, buffer, static_cast<std::size_t>(got)))
            return std::nullopt;
    }
}

} // namespace strataloom
