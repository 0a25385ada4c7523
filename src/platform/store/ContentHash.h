#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct XXH3_state_s;

namespace strataloom {

// The stored contents' checksum is XXH3-128: it detects corruption and torn
// copies, not deliberate tampering, and costs little next to the copy itself.
constexpr std::size_t kChecksumSize = 16;

// A checksum taken piece by piece.
class Checksum {
public:
    Checksum();
    ~Checksum();
    Checksum(const Checksum&) = delete;
    Checksum& operator=(const Checksum&) = delete;

    void update(const char* data, std::size_t size);
    // The bytes of a hole, which read as zeros.
    void updateZeros(std::uint64_t size);
    // kChecksumSize raw bytes; none, with errno set, when the state could
    // not be kept.
    std::optional<std::string> finish();

private:
    XXH3_state_s* m_state;
    bool m_ok = false;
};

// Checksum of everything read from `fd` from its current position; none when
// reading fails.
std::optional<std::string> checksumOfFile(int fd);

// Checksum of the first `size` bytes of the regular file `fd`, read with
// explicit offsets through `buffer`. Holes count as the zeros they read as,
// without being read. A file shorter than `size` gives the checksum of what
// it holds; none with errno set when reading fails.
std::optional<std::string> checksumOfContents(int fd, std::uint64_t size, char* buffer, std::size_t bufferSize);

} // namespace strataloom
