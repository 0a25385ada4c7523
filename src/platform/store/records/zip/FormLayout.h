#pragma once

#include "RawDeflate.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The byte layout of a canonical form (all numbers little-endian):
//
//   header   magic "SLZIPCF\n", u32 form version (1: deflated by zlib 1.2.13),
//            u32 member count, u64 archive size, 16 bytes XXH3-128 of the
//            archive, u64 skeleton size, u64 data size
//   members  per re-deflated member, in archive order, 32 bytes: u64 offset of
//            its compressed data in the archive, u64 compressed size, u64
//            inflated size, u8 level, u8 memLevel, u8 windowBits, u8 strategy,
//            u32 block size (0: one stream)
//   skeleton the archive's bytes with those members' compressed data cut out
//   data     those members' inflated bytes, one after the other
//   trailer  16 bytes XXH3-128 of everything before it
//
// The trailer finds damage before any work; the archive's checksum proves the
// rebuilt bytes right whatever else happened.
//
// What changes little between two versions of a document (headers, the
// directory, the members' contents) stays apart from what changes a lot, and
// the inflated contents sit together, so deltas between forms stay small.
namespace strataloom::store::zip {

constexpr std::uint32_t kFormVersion = 1;
constexpr std::size_t kFormChecksumSize = 16;

struct FormMember {
    std::uint64_t offset = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    DeflateParams params;
};

struct ParsedForm {
    std::uint32_t version = 0;
    std::uint64_t zipSize = 0;
    std::string zipChecksum; // kFormChecksumSize raw bytes
    std::vector<FormMember> members;
    std::string_view skeleton;
    std::string_view data;
};

// The form of an archive of `zipSize` bytes with `zipChecksum`, given its
// re-deflated members in archive order, its skeleton and their data.
std::string encodeForm(std::uint64_t zipSize, std::string_view zipChecksum, const std::vector<FormMember>& members,
                       std::string_view skeleton, std::string_view data);

// The same in steps, so that the data need not be held twice: the form up to
// its data, reserved for all of it; the caller appends the `dataSize` bytes,
// then finishForm() appends the trailer.
std::string beginForm(std::uint64_t zipSize, std::string_view zipChecksum, const std::vector<FormMember>& members,
                      std::string_view skeleton, std::uint64_t dataSize);
void finishForm(std::string& form);

// The size of a form with a skeleton of `skeletonSize` bytes, `dataSize`
// bytes of data and `memberCount` members.
std::uint64_t formSize(std::uint64_t skeletonSize, std::uint64_t dataSize, std::uint64_t memberCount);

// Splits a form into its parts, checking that they fit together (members in
// order, inside the archive, sizes adding up) and that its trailer matches.
// None, with a message, when they do not; the archive's checksum is checked
// only when rebuilding.
std::optional<ParsedForm> parseForm(std::string_view form, std::string* error = nullptr);

bool hasFormMagic(std::string_view bytes);

// XXH3-128 of `bytes`, kFormChecksumSize raw bytes, big-endian.
std::string formChecksum(std::string_view bytes);

} // namespace strataloom::store::zip
