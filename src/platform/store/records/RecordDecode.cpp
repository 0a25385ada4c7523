#include "RecordCodec.h"
#include "RecordFormat.h"

#include "ContentHash.h"
#include "ErrorMessage.h"

#include <zstd.h>

#include <algorithm>
#include <memory>

#include <sys/stat.h>

namespace strataloom::store {

using namespace records;

namespace {

struct DCtxFree {
    void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};
using DCtxPointer = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

// Each thread keeps its last decompression context for the next record, as
// the encoder keeps its own: an archive of thousands of small records
// otherwise pays fresh pages for each one's window. One grown larger than
// this is freed.
constexpr std::size_t kKeptContextSize = 4 * 1024 * 1024;
thread_local DCtxPointer t_keptContext;

// Lends the kept context until it goes out of scope, when it is kept again
// with its parameters and prefix forgotten.
struct ContextLease {
    ContextLease()
        : dctx(std::move(t_keptContext))
    {
        if (!dctx)
            dctx.reset(ZSTD_createDCtx());
    }
    ~ContextLease()
    {
        if (dctx && ZSTD_sizeof_DCtx(dctx.get()) <= kKeptContextSize
            && !ZSTD_isError(ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_and_parameters)))
            t_keptContext = std::move(dctx);
    }
    ContextLease(const ContextLease&) = delete;
    ContextLease& operator=(const ContextLease&) = delete;

    DCtxPointer dctx;
};

// A record's bytes after its header, piece by piece: from a descriptor with
// explicit offsets, or from memory at once.
class RecordInput {
public:
    explicit RecordInput(int fd)
        : m_fromFile(true)
        , m_fd(fd)
        , m_buffer(ZSTD_DStreamInSize(), '\0')
    {
    }
    explicit RecordInput(std::string_view bytes)
        : m_bytes(bytes)
    {
    }

    std::optional<std::string> header(std::string* error)
    {
        if (!m_fromFile)
            return std::string(m_bytes.substr(0, kCanonicalHeaderLength));
        std::string bytes(kCanonicalHeaderLength, '\0');
        const auto got = readAt(m_fd, 0, bytes.data(), bytes.size(), error);
        if (!got)
            return std::nullopt;
        bytes.resize(*got);
        return bytes;
    }

    // The frame starts after a header of `length` bytes.
    void skipHeader(std::size_t length) { m_offset = length; }

    // The next piece; empty at the end.
    std::optional<std::string_view> next(std::string* error)
    {
        if (!m_fromFile) {
            const std::string_view piece = m_bytes.substr(std::min<std::uint64_t>(m_offset, m_bytes.size()));
            m_offset = m_bytes.size();
            return piece;
        }
        const auto got = readAt(m_fd, m_offset, m_buffer.data(), m_buffer.size(), error);
        if (!got)
            return std::nullopt;
        m_offset += *got;
        return std::string_view(m_buffer.data(), *got);
    }

private:
    bool m_fromFile = false;
    int m_fd = -1;
    std::string_view m_bytes;
    std::string m_buffer;
    std::uint64_t m_offset = 0;
};

bool checkExpectations(const RecordHeader& header, const RecordExpectations& expected, int baseFd, std::string* error)
{
    if (expected.size && *expected.size != header.contentsSize())
        return fail(error, "the record holds " + std::to_string(header.contentsSize()) + " bytes, not the "
                               + std::to_string(*expected.size) + " expected");
    if (expected.checksum && *expected.checksum != header.contentsChecksum())
        return fail(error, "the record's checksum is not the one expected of it");
    const bool delta = header.kind == EncodedKind::Delta;
    if (delta && baseFd < 0)
        return fail(error, "the record is a delta against " + header.baseName + ", and no base was given");
    if (!delta && (baseFd >= 0 || expected.baseChecksum))
        return fail(error, "the record is compressed, not a delta against a base");
    if (expected.baseChecksum && *expected.baseChecksum != header.baseChecksum)
        return fail(error, "the record is a delta against other contents than the base expected");
    if (delta && (header.size > kDeltaLimit || header.baseSize > kDeltaLimit))
        return fail(error, "the record is a delta of more than " + std::to_string(kDeltaLimit) + " bytes");
    return true;
}

// The base's contents, whole, once they prove to be those the record names.
std::optional<std::string> readBase(const RecordHeader& header, int baseFd, std::string* error)
{
    struct stat status;
    if (fstat(baseFd, &status) != 0 || !S_ISREG(status.st_mode))
        return refused(error, "the base given (" + pathOfDescriptor(baseFd) + ") is not a regular file");
    if (std::uint64_t(status.st_size) != header.baseSize)
        return refused(error, "the base given holds " + std::to_string(status.st_size) + " bytes, the record's base "
                                  + header.baseName + " " + std::to_string(header.baseSize));
    std::string base(static_cast<std::size_t>(header.baseSize), '\0');
    const auto got = readAt(baseFd, 0, base.data(), base.size(), error);
    if (!got)
        return std::nullopt;
    Checksum checksum;
    checksum.update(base.data(), *got);
    if (*got != base.size() || checksum.finish() != header.baseChecksum)
        return refused(error, "the base given is not the record's base " + header.baseName
                                  + ": its contents' checksum differs");
    return base;
}

// The zstd frame must be one we write: plain, declaring the header's size,
// carrying zstd's checksum, made without a dictionary. Read by hand from its
// header (RFC 8878, 3.1.1.1): libzstd's parser of it is not part of its stable
// interface.
bool checkFrameHeader(const RecordHeader& header, std::string_view start, std::string* error)
{
    const std::string truncated = "the record is truncated: it ends inside its zstd frame's header";
    if (start.size() < 5)
        return fail(error, truncated);
    std::uint32_t magic = 0;
    for (int i = 3; i >= 0; --i)
        magic = magic << 8 | static_cast<unsigned char>(start[i]);
    if (magic != ZSTD_MAGICNUMBER)
        return fail(error, "the record's header is not followed by a zstd frame");
    const auto descriptor = static_cast<unsigned char>(start[4]);
    const bool singleSegment = descriptor & 0x20;
    const unsigned sizeFieldFlag = descriptor >> 6;
    const std::size_t sizeField = sizeFieldFlag == 0 ? (singleSegment ? 1 : 0) : std::size_t(1) << sizeFieldFlag;
    const std::size_t dictionaryField = (descriptor & 3) == 3 ? 4 : (descriptor & 3);
    if (start.size() < 5 + (singleSegment ? 0 : 1) + dictionaryField + sizeField)
        return fail(error, truncated);
    if (!(descriptor & 0x04) || dictionaryField != 0)
        return fail(error, "the record's zstd frame is not of the form this release writes");
    if (ZSTD_getFrameContentSize(start.data(), start.size()) != header.size)
        return fail(error, "the record's zstd frame does not declare the header's size of "
                               + std::to_string(header.size) + " bytes");
    return true;
}

std::optional<RecordHeader> decode(RecordInput& input, int baseFd, int outFd, const RecordExpectations& expected,
                                   std::string* error)
{
    const auto headerBytes = input.header(error);
    if (!headerBytes)
        return std::nullopt;
    auto header = parseHeader(*headerBytes, error);
    if (!header || !checkExpectations(*header, expected, baseFd, error))
        return std::nullopt;
    input.skipHeader(headerLength(*header));
    std::optional<std::string> base;
    if (header->kind == EncodedKind::Delta && !(base = readBase(*header, baseFd, error)))
        return std::nullopt;

    const ContextLease lease;
    ZSTD_DCtx* const dctx = lease.dctx.get();
    if (!dctx || ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kMaxWindowLog))
        || (base && ZSTD_isError(ZSTD_DCtx_refPrefix(dctx, base->data(), base->size()))))
        return refused(error, "cannot decode a record: out of memory");

    // No larger than the contents, so that small records do not pay for a large buffer.
    std::string out(static_cast<std::size_t>(std::clamp<std::uint64_t>(header->size, 1, ZSTD_DStreamOutSize())), '\0');
    Checksum checksum;
    std::uint64_t produced = 0;
    bool first = true;
    bool finished = false;
    for (;;) {
        const auto piece = input.next(error);
        if (!piece)
            return std::nullopt;
        if (finished) {
            if (!piece->empty())
                return refused(error, "the record has bytes after its zstd frame");
            break;
        }
        if (first && !checkFrameHeader(*header, *piece, error))
            return std::nullopt;
        first = false;
        ZSTD_inBuffer in{piece->data(), piece->size(), 0};
        ZSTD_outBuffer sink{out.data(), out.size(), 0};
        do {
            sink.pos = 0;
            const std::size_t left = ZSTD_decompressStream(dctx, &sink, &in);
            if (ZSTD_isError(left))
                return refused(error, std::string("the record's zstd frame is damaged: ") + ZSTD_getErrorName(left));
            produced += sink.pos;
            if (produced > header->size)
                return refused(error, "the record's zstd frame yields more than the header's size of "
                                          + std::to_string(header->size) + " bytes");
            checksum.update(out.data(), sink.pos);
            if (!writeAll(outFd, out.data(), sink.pos, error))
                return std::nullopt;
            finished = left == 0;
        } while (!finished && (in.pos < in.size || sink.pos == sink.size));
        if (finished && in.pos < in.size)
            return refused(error, "the record has bytes after its zstd frame");
        if (!finished && piece->empty())
            return refused(error, "the record is truncated: its zstd frame ends early");
    }
    if (produced != header->size)
        return refused(error, "the record's zstd frame yields " + std::to_string(produced) + " bytes, not the header's "
                                  + std::to_string(header->size));
    if (checksum.finish() != header->checksum)
        return refused(error, "the record's decoded contents do not have the checksum its header gives");
    return header;
}

} // namespace

std::optional<RecordHeader> readRecordHeader(int recordFd, std::string* error)
{
    RecordInput input(recordFd);
    const auto bytes = input.header(error);
    return bytes ? parseHeader(*bytes, error) : std::nullopt;
}

std::optional<RecordHeader> readRecordHeader(std::string_view record, std::string* error)
{
    return parseHeader(record.substr(0, kCanonicalHeaderLength), error);
}

std::optional<RecordHeader> decodeRecord(int recordFd, int baseFd, int outFd, const RecordExpectations& expected,
                                         std::string* error)
{
    RecordInput input(recordFd);
    return decode(input, baseFd, outFd, expected, error);
}

std::optional<RecordHeader> decodeRecord(std::string_view record, int baseFd, int outFd,
                                         const RecordExpectations& expected, std::string* error)
{
    RecordInput input(record);
    return decode(input, baseFd, outFd, expected, error);
}

} // namespace strataloom::store
