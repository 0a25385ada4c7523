#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace strataloom {

// The stored contents' checksum is XXH3-128: it detects corruption and torn
// copies, not deliberate tampering, and costs little next to the copy itself.
constexpr std::size_t kChecksumSize = 16;

// Checksum of everything read from `fd` from its current position; none when
// reading fails.
std::optional<std::string> checksumOfFile(int fd);

// Copies everything readable from `in` to `out`, which must be empty and open
// for reading and writing, and returns the checksum (kChecksumSize raw bytes)
// of what `out` then holds; none with errno set when reading or writing fails.
// The kernel copies when it can and the checksum is taken from the copy's
// pages, so the contents are read from disk once; `buffer` serves both that
// and the plain read-write copy used when the kernel cannot copy. With `size`,
// the source's size when the copy began, the kernel's copy stops there: a file
// that grew meanwhile is the caller's to notice.
std::optional<std::string> copyChecksummed(int in, int out, char* buffer, std::size_t bufferSize,
                                           std::optional<std::uint64_t> size = std::nullopt);

} // namespace strataloom
