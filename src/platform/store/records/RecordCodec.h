#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The bytes of a delta or compressed record: a zstd skippable frame holding our
// header, then one ordinary zstd frame (content size and zstd's checksum set),
// so the stock `zstd` tool restores a record by itself (docs/STORE.md, "Record
// files"). Pure: knows nothing of the index, logs or paths.
namespace strataloom::store {

// How a record's contents are encoded. The numbers are those of the index's
// record kinds (0 being a whole file, which has no header).
enum class EncodedKind : std::uint8_t { Delta = 1, Compressed = 2 };

// Largest contents a delta is made of, and largest base it is made against:
// both are held in memory while encoding and decoding, which bounds a command's
// peak memory (about 2 x this plus zstd's tables). Larger contents may still be
// compressed, streaming.
inline constexpr std::uint64_t kDeltaLimit = 16 * 1024 * 1024;

// The codec version this release writes and the only one it reads.
inline constexpr std::uint16_t kRecordCodecVersion = 1;
// Length of the header frame every record starts with; a record holding a
// canonical zip form has a longer one, carrying the archive's fields.
inline constexpr std::size_t kRecordHeaderLength = 104;
inline constexpr std::size_t kCanonicalHeaderLength = 128;
// zstd's levels for records, at a speed that lets re-encoding run right after
// an add (see docs/STORE.md): compressed contents gain from level 9's longer
// searches; a delta, mostly long matches of its base, comes within a tenth of
// level 9's size at level 3, in half the time.
inline constexpr int kRecordLevel = 9;
inline constexpr int kDeltaLevel = 3;

// The zip archive whose canonical form (zip/CanonicalForm.h) a record's frame
// holds instead of the archive itself: its size and XXH3-128.
struct ArchiveOfForm {
    std::uint64_t size = 0;
    std::string checksum;

    bool operator==(const ArchiveOfForm&) const = default;
};

struct RecordHeader {
    EncodedKind kind = EncodedKind::Compressed;
    // What the zstd frame yields: size and XXH3-128 (kChecksumSize raw bytes,
    // as ContentHash gives them).
    std::uint64_t size = 0;
    std::string checksum;
    // Delta only (empty and 0 otherwise): the base record's name (32 lowercase
    // hex digits) and the size and XXH3-128 of the prefix the frame was made
    // with: the base's materialised contents, or its canonical form when the
    // frame holds one.
    std::string baseName;
    std::uint64_t baseSize = 0;
    std::string baseChecksum;
    // Set when the frame yields the canonical form of this archive, which is
    // then what a reader gets (the flag of the index's kind).
    std::optional<ArchiveOfForm> archive;

    // What a reader of the record gets: the archive, or the frame's contents.
    std::uint64_t contentsSize() const { return archive ? archive->size : size; }
    const std::string& contentsChecksum() const { return archive ? archive->checksum : checksum; }
};

// Contents to encode: the first `size` bytes of the regular file `fd`, read with
// explicit offsets (the descriptor's position is left alone). When `checksum` is
// given (the index's), contents that read otherwise are refused rather than
// recorded under it.
struct ContentsFile {
    int fd = -1;
    std::uint64_t size = 0;
    std::optional<std::string> checksum;
    // Where in the file they start.
    std::uint64_t from = 0;
};

// The base a delta is made against: its record's name and its contents.
struct DeltaBase {
    std::string name;
    ContentsFile contents;
};

struct EncodeOptions {
    // 0: kDeltaLevel for a delta, kRecordLevel for compressed contents.
    int level = 0;
    // Give up as soon as the record would be longer than this (a delta that
    // does not pay, a record too long to be packed): saves encoding the rest.
    std::uint64_t maxLength = UINT64_MAX;
    // The contents are the canonical form of this archive: the header says so.
    std::optional<ArchiveOfForm> archive = std::nullopt;
};

struct EncodedRecord {
    RecordHeader header;
    // The record's length in bytes; none when it would have been longer than
    // EncodeOptions::maxLength. What was written is then to be discarded, and
    // the header holds only the kind, the size and the base's fields.
    std::optional<std::uint64_t> length;
};

// Encodes `contents` as a delta against `base`, or compressed when `base` is
// null. A delta refuses contents or a base over kDeltaLimit. The record goes
// into the regular file `outFd` from its current position (its header is
// written last, with pwrite, once the contents' checksum is known), or is
// appended to `out`. Nothing is made durable: that is the caller's. On failure
// what was written is to be discarded.
std::optional<EncodedRecord> encodeRecord(const ContentsFile& contents, const DeltaBase* base, int outFd,
                                          const EncodeOptions& options = {}, std::string* error = nullptr);
std::optional<EncodedRecord> encodeRecord(const ContentsFile& contents, const DeltaBase* base, std::string& out,
                                          const EncodeOptions& options = {}, std::string* error = nullptr);

// Whether encoding `contents` (against `base`, when given) shrinks them at
// all: their first and their last kTrySampleSize bytes are encoded at zstd's
// fastest level (a pdf's fonts or an archive's members may not shrink where
// its table of contents does).
// Contents that do not (photos, video, encrypted files, or a base unrelated to
// them) are spared a full try at kRecordLevel, which would be given up; any
// that shrink a little are tried in full. A sample that cannot be encoded says
// yes, leaving the error to the full try.
inline constexpr std::uint64_t kTrySampleSize = 16 * 1024;
bool mayShrink(const ContentsFile& contents, const DeltaBase* base);

// The header of the record held by `recordFd` (read from its start, with
// explicit offsets) or by `record`: its magic, version, fields and own checksum
// checked; the zstd frame after it is not looked at.
std::optional<RecordHeader> readRecordHeader(int recordFd, std::string* error = nullptr);
std::optional<RecordHeader> readRecordHeader(std::string_view record, std::string* error = nullptr);

// What the caller knows of a record from elsewhere (the index), checked
// against its header before anything is decoded: the size and checksum a
// reader gets (contentsSize(), contentsChecksum()), the base's prefix.
struct RecordExpectations {
    std::optional<std::uint64_t> size;
    std::optional<std::string> checksum;
    std::optional<std::string> baseChecksum;
};

// Decodes the record held by `recordFd` (from its start) or by `record` into
// `outFd`, written from its current position, streaming in bounded memory. A
// delta needs `baseFd`, the base's materialised contents (read from its start,
// its size checked against the header and its checksum verified); a compressed
// record takes none (-1). Succeeds, returning the header, only when the record
// is whole, the one frame declares and yields exactly the header's size, its
// result has the header's checksum and nothing follows it. On failure `outFd`
// holds an unspecified prefix, to be discarded.
std::optional<RecordHeader> decodeRecord(int recordFd, int baseFd, int outFd, const RecordExpectations& expected = {},
                                         std::string* error = nullptr);
std::optional<RecordHeader> decodeRecord(std::string_view record, int baseFd, int outFd,
                                         const RecordExpectations& expected = {}, std::string* error = nullptr);

} // namespace strataloom::store
