#include "ZipLayout.h"
#include "LittleEndian.h"

#include <algorithm>

namespace strataloom::store::zip {

namespace {

constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64End = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint64_t kEndSize = 22;
constexpr std::uint64_t kLocatorSize = 20;
constexpr std::uint64_t kCentralSize = 46;
constexpr std::uint64_t kLocalSize = 30;
constexpr std::uint64_t kMaxComment = 0xffff;

struct Directory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t entries = 0;
    std::uint64_t end = 0; // where the records after the directory start
};

bool fail(std::string* error, const char* message)
{
    if (error)
        *error = message;
    return false;
}

// The end-of-directory record whose comment runs exactly to the end of the
// file, searched from the end as readers do.
std::optional<std::uint64_t> findEnd(std::string_view bytes)
{
    if (bytes.size() < kEndSize)
        return std::nullopt;
    const std::uint64_t last = bytes.size() - kEndSize;
    const std::uint64_t first = last > kMaxComment ? last - kMaxComment : 0;
    for (std::uint64_t at = last + 1; at-- > first;) {
        if (readLittle(bytes, at, 4) == kEndOfDirectory && readLittle(bytes, at + 20, 2) == last - at)
            return at;
    }
    return std::nullopt;
}

bool readDirectory(std::string_view bytes, Directory& directory, std::string* error)
{
    const auto end = findEnd(bytes);
    if (!end)
        return fail(error, "no end-of-directory record closes the file");
    FieldReader record(bytes, *end + 4);
    const std::uint64_t disk = record.take(2);
    const std::uint64_t directoryDisk = record.take(2);
    const std::uint64_t entriesHere = record.take(2);
    directory.entries = record.take(2);
    directory.size = record.take(4);
    directory.offset = record.take(4);
    directory.end = *end;
    const bool zip64 = directory.entries == 0xffff || directory.size == 0xffffffff || directory.offset == 0xffffffff;
    if (!zip64) {
        if ((disk != 0 || directoryDisk != 0) || entriesHere != directory.entries)
            return fail(error, "the archive spans several disks");
    } else {
        if (*end < kLocatorSize || readLittle(bytes, *end - kLocatorSize, 4) != kZip64Locator)
            return fail(error, "a zip64 archive has no zip64 locator");
        FieldReader locator(bytes, *end - kLocatorSize + 4);
        const std::uint64_t locatorDisk = locator.take(4);
        const std::uint64_t recordOffset = locator.take(8);
        const std::uint64_t disks = locator.take(4);
        if (locatorDisk != 0 || disks > 1 || recordOffset > *end - kLocatorSize)
            return fail(error, "the zip64 locator is damaged");
        FieldReader record64(bytes, recordOffset);
        if (record64.take(4) != kZip64End)
            return fail(error, "the zip64 end-of-directory record is missing");
        const std::uint64_t recordSize = record64.take(8);
        record64.take(4);
        const std::uint64_t disk64 = record64.take(4);
        const std::uint64_t directoryDisk64 = record64.take(4);
        const std::uint64_t entriesHere64 = record64.take(8);
        directory.entries = record64.take(8);
        directory.size = record64.take(8);
        directory.offset = record64.take(8);
        if (record64.failed() || recordSize < 44 || recordOffset + 12 + 44 > *end - kLocatorSize || disk64 != 0
            || directoryDisk64 != 0 || entriesHere64 != directory.entries)
            return fail(error, "the zip64 end-of-directory record is damaged");
        directory.end = recordOffset;
    }
    if (directory.offset > directory.end || directory.size > directory.end - directory.offset)
        return fail(error, "the central directory does not end where the end record starts");
    if (directory.entries > directory.size / kCentralSize)
        return fail(error, "the central directory is too short for its entries");
    return true;
}

// The zip64 extra field replaces those of the fixed fields that read all ones,
// in this order.
bool applyZip64(std::string_view extra, std::uint64_t& size, std::uint64_t& compressedSize, std::uint64_t& offset)
{
    FieldReader fields(extra, 0);
    while (fields.has(4)) {
        const std::uint64_t id = fields.take(2);
        const std::string_view body = fields.takeBytes(fields.take(2));
        if (fields.failed())
            return false;
        if (id != 0x0001)
            continue;
        FieldReader values(body, 0);
        for (std::uint64_t* value : {&size, &compressedSize, &offset}) {
            if (*value == 0xffffffff)
                *value = values.take(8);
        }
        return !values.failed();
    }
    return size != 0xffffffff && compressedSize != 0xffffffff && offset != 0xffffffff;
}

} // namespace

bool looksLikeZip(std::string_view bytes)
{
    return bytes.size() >= kLocalSize + kEndSize && readLittle(bytes, 0, 4) == kLocalHeader;
}

std::optional<std::vector<ZipMember>> readZipLayout(std::string_view bytes, std::string* error)
{
    if (!looksLikeZip(bytes)) {
        fail(error, "the file does not start with a zip local header");
        return std::nullopt;
    }
    Directory directory;
    if (!readDirectory(bytes, directory, error))
        return std::nullopt;
    std::vector<ZipMember> members;
    members.reserve(directory.entries);
    const std::string_view central = bytes.substr(directory.offset, directory.size);
    FieldReader entry(central, 0);
    for (std::uint64_t i = 0; i < directory.entries; ++i) {
        if (entry.take(4) != kCentralHeader) {
            fail(error, "a central directory entry is damaged");
            return std::nullopt;
        }
        entry.take(4);
        const std::uint64_t flags = entry.take(2);
        ZipMember member;
        member.method = static_cast<std::uint16_t>(entry.take(2));
        member.encrypted = flags & 1;
        entry.take(8);
        member.compressedSize = entry.take(4);
        member.size = entry.take(4);
        const std::uint64_t nameLength = entry.take(2);
        const std::uint64_t extraLength = entry.take(2);
        const std::uint64_t commentLength = entry.take(2);
        entry.take(8);
        std::uint64_t localOffset = entry.take(4);
        member.name = entry.takeBytes(nameLength);
        const std::string_view extra = entry.takeBytes(extraLength);
        entry.takeBytes(commentLength);
        if (entry.failed() || !applyZip64(extra, member.size, member.compressedSize, localOffset)) {
            fail(error, "a central directory entry is damaged");
            return std::nullopt;
        }
        FieldReader local(bytes, localOffset);
        if (local.take(4) != kLocalHeader) {
            fail(error, "a member's local header is missing");
            return std::nullopt;
        }
        local.takeBytes(kLocalSize - 8);
        const std::uint64_t localName = local.take(2);
        const std::uint64_t localExtra = local.take(2);
        local.takeBytes(localName + localExtra);
        member.dataOffset = local.offset();
        if (local.failed() || member.dataOffset > directory.offset
            || member.compressedSize > directory.offset - member.dataOffset) {
            fail(error, "a member's data run past the central directory");
            return std::nullopt;
        }
        members.push_back(member);
    }
    std::sort(members.begin(), members.end(),
              [](const ZipMember& a, const ZipMember& b) { return a.dataOffset < b.dataOffset; });
    for (std::size_t i = 1; i < members.size(); ++i) {
        if (members[i].dataOffset < members[i - 1].dataOffset + members[i - 1].compressedSize) {
            fail(error, "two members' data overlap");
            return std::nullopt;
        }
    }
    return members;
}

} // namespace strataloom::store::zip
