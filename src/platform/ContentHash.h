#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace strataloom {

struct Sha256;

// SHA-256 of everything read from `fd` from its current position; none when
// reading fails.
std::optional<std::string> sha256OfFile(int fd);

// Copies files in one pass while a second thread hashes the chunks already
// read, so the contents are read once and hashing overlaps the copying. The
// hash is that of the bytes written. Not to be used across fork().
class HashingCopier {
public:
    HashingCopier();
    ~HashingCopier();
    HashingCopier(const HashingCopier&) = delete;
    HashingCopier& operator=(const HashingCopier&) = delete;

    // Copies everything readable from `in` to `out`; `sizeHint` (the expected
    // size) only tunes the chunk size. Returns the SHA-256 (32 raw bytes), or
    // none with errno set when reading or writing fails.
    std::optional<std::string> copy(int in, int out, std::size_t sizeHint);

private:
    static constexpr std::size_t kSlots = 8;
    static constexpr std::size_t kSlotSize = 256 * 1024;

    void hashChunks();
    void waitUntilHashed(std::size_t count, std::unique_lock<std::mutex>& lock);

    std::unique_ptr<char[]> m_buffer;
    std::size_t m_sizes[kSlots] = {};
    std::size_t m_submitted = 0;  // chunks handed to the hashing thread
    std::size_t m_hashed = 0;     // chunks it has finished
    bool m_stopping = false;
    std::unique_ptr<Sha256> m_digest;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::thread m_thread;
};

} // namespace strataloom
