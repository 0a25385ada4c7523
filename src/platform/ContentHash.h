#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace strataloom {

// SHA-256 of everything read from `fd` from its current position; none when
// reading fails.
std::optional<std::string> sha256OfFile(int fd);

// Copies everything readable from `in` to `out` in one pass, hashing the bytes
// on the way, so the contents are read once. Returns the SHA-256 (32 raw
// bytes), or none with errno set when reading or writing fails.
std::optional<std::string> copyHashing(int in, int out, char* buffer, std::size_t bufferSize);

} // namespace strataloom
