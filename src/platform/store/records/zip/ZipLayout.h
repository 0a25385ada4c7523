#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where a zip archive keeps its members' data, read from its central
// directory. Only what the canonical form needs: everything else in the
// archive is kept as it is.
namespace strataloom::store::zip {

struct ZipMember {
    std::string_view name; // as the central directory spells it: bytes
    std::uint16_t method = 0; // 0 stored, 8 deflated
    bool encrypted = false;
    std::uint64_t dataOffset = 0; // the member's (compressed) data in the archive
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0; // what the central directory says it inflates to
};

// The members of the zip archive `bytes`, in the order of their data in the
// archive. None when `bytes` is not a zip archive (it must start with a local
// header and end with a directory that parses, zip64 included) or when its
// members' data overlap each other or the directory.
std::optional<std::vector<ZipMember>> readZipLayout(std::string_view bytes, std::string* error = nullptr);

// Whether `bytes` starts like a zip archive: cheap, for choosing what to try.
bool looksLikeZip(std::string_view bytes);

} // namespace strataloom::store::zip
