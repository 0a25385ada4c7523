#pragma once

#include "RecordCodec.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The codec's own pieces, shared by its encoder and decoder: the header's byte
// layout and reading and writing through descriptors.
namespace strataloom::store::records {

// zstd leaves frames with magic 0x184D2A50..0x184D2A5F to applications; its
// decoders skip them. Ours is the last of the range.
inline constexpr std::uint32_t kSkippableMagic = 0x184D2A5F;
// The zstd frame's window is at most this (2^25 = 32 MiB, a delta's base and
// contents at kDeltaLimit each); decoding refuses larger ones.
inline constexpr int kMaxWindowLog = 25;

// The highest level records are encoded at: above it zstd's windows outgrow
// kMaxWindowLog.
inline constexpr int kMaxLevel = 19;

// Stores `message` in *error when asked for, for `return refused(...)` in a
// function returning an optional.
std::nullopt_t refused(std::string* error, std::string message);

// How long the header of such a record is.
std::size_t headerLength(const RecordHeader& header);
// The headerLength() bytes of `header`.
std::string serializeHeader(const RecordHeader& header);
// Parses and checks the first bytes of a record; `bytes` may be shorter than
// the header when the record is.
std::optional<RecordHeader> parseHeader(std::string_view bytes, std::string* error);

// Reads `size` bytes at `offset`; fewer only at the end of the file. None, with
// a message, when reading fails.
std::optional<std::size_t> readAt(int fd, std::uint64_t offset, char* buffer, std::size_t size, std::string* error);
bool writeAll(int fd, const char* data, std::size_t size, std::string* error);

} // namespace strataloom::store::records
