#include "RecordFormat.h"

#include "ContentHash.h"
#include "ErrorMessage.h"
#include "StoreLayout.h"

#include <xxhash.h>

#include <cerrno>

#include <unistd.h>

namespace strataloom::store::records {

namespace {

// The header's layout, from the record's first byte (integers little-endian).
constexpr std::size_t kFrameSizeAt = 4;
constexpr std::size_t kMagicAt = 8;
constexpr std::size_t kVersionAt = 12;
constexpr std::size_t kKindAt = 14;
constexpr std::size_t kFlagsAt = 15;
constexpr std::size_t kSizeAt = 16;
constexpr std::size_t kChecksumAt = 24;
constexpr std::size_t kBaseSizeAt = 40;
constexpr std::size_t kBaseChecksumAt = 48;
constexpr std::size_t kBaseNameAt = 64;
constexpr std::size_t kHeaderCheckAt = 96;
static_assert(kBaseNameAt + kIdLength == kHeaderCheckAt);
static_assert(kHeaderCheckAt + 8 == kRecordHeaderLength);
// A canonical form's header: the archive's fields, then the check.
constexpr std::size_t kArchiveSizeAt = 96;
constexpr std::size_t kArchiveChecksumAt = 104;
constexpr std::size_t kCanonicalCheckAt = 120;
static_assert(kCanonicalCheckAt + 8 == kCanonicalHeaderLength);
constexpr std::uint64_t kCanonicalZipFlag = 1;
constexpr std::string_view kMagic = "SLRC";

void putLittle(std::string& bytes, std::size_t at, std::uint64_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint64_t getLittle(std::string_view bytes, std::size_t at, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value |= std::uint64_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

// Covers every field after the frame's own eight bytes.
std::uint64_t headerCheck(std::string_view bytes, std::size_t checkAt)
{
    return XXH3_64bits(bytes.data() + kMagicAt, checkAt - kMagicAt);
}

bool allZero(std::string_view bytes)
{
    return bytes.find_first_not_of('\0') == std::string_view::npos;
}

} // namespace

std::nullopt_t refused(std::string* error, std::string message)
{
    fail(error, std::move(message));
    return std::nullopt;
}

std::size_t headerLength(const RecordHeader& header)
{
    return header.archive ? kCanonicalHeaderLength : kRecordHeaderLength;
}

std::string serializeHeader(const RecordHeader& header)
{
    const std::size_t length = headerLength(header);
    const std::size_t checkAt = length - 8;
    std::string bytes(length, '\0');
    putLittle(bytes, 0, kSkippableMagic, 4);
    putLittle(bytes, kFrameSizeAt, length - 8, 4);
    bytes.replace(kMagicAt, kMagic.size(), kMagic);
    putLittle(bytes, kVersionAt, kRecordCodecVersion, 2);
    putLittle(bytes, kKindAt, static_cast<std::uint8_t>(header.kind), 1);
    putLittle(bytes, kSizeAt, header.size, 8);
    bytes.replace(kChecksumAt, kChecksumSize, header.checksum);
    if (header.kind == EncodedKind::Delta) {
        putLittle(bytes, kBaseSizeAt, header.baseSize, 8);
        bytes.replace(kBaseChecksumAt, kChecksumSize, header.baseChecksum);
        bytes.replace(kBaseNameAt, kIdLength, header.baseName);
    }
    if (header.archive) {
        putLittle(bytes, kFlagsAt, kCanonicalZipFlag, 1);
        putLittle(bytes, kArchiveSizeAt, header.archive->size, 8);
        bytes.replace(kArchiveChecksumAt, kChecksumSize, header.archive->checksum);
    }
    putLittle(bytes, checkAt, headerCheck(bytes, checkAt), 8);
    return bytes;
}

std::optional<RecordHeader> parseHeader(std::string_view bytes, std::string* error)
{
    const auto refuse = [error](std::string why) { return refused(error, std::move(why)); };
    const std::string truncated = "the record is truncated: it ends inside its header";
    if (bytes.size() < 4)
        return refuse(truncated);
    if (getLittle(bytes, 0, 4) != kSkippableMagic)
        return refuse("not a record: it does not start with a record header");
    if (bytes.size() < kMagicAt)
        return refuse(truncated);
    const std::uint64_t length = getLittle(bytes, kFrameSizeAt, 4) + 8;
    if (length != kRecordHeaderLength && length != kCanonicalHeaderLength)
        return refuse("the record's header frame has an unexpected length (damaged, or written by a newer release)");
    if (bytes.size() < length)
        return refuse(truncated);
    if (bytes.substr(kMagicAt, kMagic.size()) != kMagic)
        return refuse("not a record: its first frame is not a record header");
    const std::uint64_t version = getLittle(bytes, kVersionAt, 2);
    if (version != kRecordCodecVersion)
        return refuse("the record is of codec version " + std::to_string(version) + ", this release reads only version "
                      + std::to_string(kRecordCodecVersion) + " (damaged, or written by a newer release)");
    const std::size_t checkAt = static_cast<std::size_t>(length - 8);
    if (getLittle(bytes, checkAt, 8) != headerCheck(bytes, checkAt))
        return refuse("the record's header is damaged: its checksum does not match");

    RecordHeader header;
    const std::uint64_t kind = getLittle(bytes, kKindAt, 1);
    if (kind != std::uint64_t(EncodedKind::Delta) && kind != std::uint64_t(EncodedKind::Compressed))
        return refuse("the record's header names an unknown kind " + std::to_string(kind));
    const std::uint64_t flags = getLittle(bytes, kFlagsAt, 1);
    if (flags != 0 && flags != kCanonicalZipFlag)
        return refuse("the record's header sets flags this release does not know");
    if ((flags == kCanonicalZipFlag) != (length == kCanonicalHeaderLength))
        return refuse("the record's header is damaged: its flags do not match its length");
    if (flags == kCanonicalZipFlag)
        header.archive = ArchiveOfForm{getLittle(bytes, kArchiveSizeAt, 8),
                                       std::string(bytes.substr(kArchiveChecksumAt, kChecksumSize))};
    header.kind = static_cast<EncodedKind>(kind);
    header.size = getLittle(bytes, kSizeAt, 8);
    header.checksum = std::string(bytes.substr(kChecksumAt, kChecksumSize));
    const std::string_view baseName = bytes.substr(kBaseNameAt, kIdLength);
    const std::string_view baseFields = bytes.substr(kBaseSizeAt, kBaseNameAt + kIdLength - kBaseSizeAt);
    if (header.kind == EncodedKind::Compressed) {
        if (!allZero(baseFields))
            return refuse("the record's header is compressed but names a base");
        return header;
    }
    if (!isId(baseName))
        return refuse("the record's header names no valid base record");
    header.baseName = std::string(baseName);
    header.baseSize = getLittle(bytes, kBaseSizeAt, 8);
    header.baseChecksum = std::string(bytes.substr(kBaseChecksumAt, kChecksumSize));
    return header;
}

std::optional<std::size_t> readAt(int fd, std::uint64_t offset, char* buffer, std::size_t size, std::string* error)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fail(error, errnoMessage("cannot read " + pathOfDescriptor(fd)));
            return std::nullopt;
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool writeAll(int fd, const char* data, std::size_t size, std::string* error)
{
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail(error, errnoMessage("cannot write " + pathOfDescriptor(fd)));
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace strataloom::store::records
