#include "RecordCodec.h"
#include "RecordFormat.h"

#include "ContentHash.h"
#include "ErrorMessage.h"
#include "StoreLayout.h"

#include <zstd.h>

#include <algorithm>
#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

using namespace records;

namespace {

constexpr std::size_t kChunkSize = 1 << 18;
// zstd's smallest window.
constexpr int kMinWindowLog = 10;
// Long-distance matching finds the base's runs that the level's tables, sized
// for nearby matches, have forgotten: needed by large deltas (a 12 MiB base
// with one byte changed), it costs small ones a few percent.
constexpr int kLongMatchWindowLog = 20;
// The level's hash and chain tables, sized for its nearby matches, are capped
// for large deltas, whose distant matches long-distance matching finds: it
// keeps a delta at kDeltaLimit within about 45 MB, at no cost measured.
constexpr int kLargeDeltaWindowLog = 22;
constexpr int kLargeDeltaTableLog = 20;

struct CCtxFree {
    void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};
using CCtxPointer = std::unique_ptr<ZSTD_CCtx, CCtxFree>;

// Each thread keeps its last compression context for the next record: a
// fresh one per record takes about a megabyte of fresh pages at level 9,
// faulted in, zeroed and given back each time, which cost unarchive's
// thousands of small records more than their encoding. One grown larger
// than this (a large delta's) is freed, so an idle watcher keeps little.
constexpr std::size_t kKeptContextSize = 4 * 1024 * 1024;
thread_local CCtxPointer t_keptContext;

CCtxPointer takeContext()
{
    CCtxPointer cctx = std::move(t_keptContext);
    if (!cctx)
        cctx.reset(ZSTD_createCCtx());
    return cctx;
}

// Kept with its parameters and prefix forgotten, as a fresh one has none.
void keepContext(CCtxPointer cctx)
{
    if (cctx && ZSTD_sizeof_CCtx(cctx.get()) <= kKeptContextSize
        && !ZSTD_isError(ZSTD_CCtx_reset(cctx.get(), ZSTD_reset_session_and_parameters)))
        t_keptContext = std::move(cctx);
}

std::string mebibytes(std::uint64_t bytes)
{
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

// Where the record's bytes go: `put` appends, `patchHeader` writes the header
// over the placeholder at the record's start.
struct Sink {
    std::function<bool(const char*, std::size_t, std::string*)> put;
    std::function<bool(const std::string&, std::string*)> patchHeader;
};

// The whole of `file`, in memory: a delta's base, which zstd needs at once.
std::optional<std::string> readContents(const ContentsFile& file, const char* what, std::string* error)
{
    std::string bytes(static_cast<std::size_t>(file.size), '\0');
    const auto got = readAt(file.fd, 0, bytes.data(), bytes.size(), error);
    if (!got)
        return std::nullopt;
    if (*got != bytes.size())
        return refused(error, std::string("the ") + what + " end after " + std::to_string(*got) + " of "
                                  + std::to_string(bytes.size()) + " bytes");
    return bytes;
}

bool checkChecksum(const ContentsFile& file, const std::string& actual, const char* what, std::string* error)
{
    if (file.checksum && *file.checksum != actual)
        return fail(error, std::string("the ") + what + " do not have the checksum expected of them");
    return true;
}

std::optional<std::string> checksumOf(std::string_view bytes)
{
    Checksum checksum;
    checksum.update(bytes.data(), bytes.size());
    return checksum.finish();
}

// The smallest window that reaches from the end of the contents back to the
// start of the base, so that every part of the base can be matched.
int deltaWindowLog(std::uint64_t span)
{
    int log = kMinWindowLog;
    while (log < kMaxWindowLog && (std::uint64_t(1) << log) < span)
        ++log;
    return log;
}

class Encoder {
public:
    // The output buffer is no larger than the record can grow, so that small
    // records do not pay for a large one.
    Encoder(const EncodeOptions& options, Sink& sink, std::uint64_t size, std::string* error)
        : m_options(options)
        , m_sink(sink)
        , m_error(error)
        , m_out(std::min<std::uint64_t>(ZSTD_CStreamOutSize(),
                                        ZSTD_compressBound(std::min<std::uint64_t>(size, kChunkSize))),
                '\0')
    {
    }
    ~Encoder() { keepContext(std::move(m_cctx)); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    bool setUp(std::uint64_t size, const std::string* prefix)
    {
        m_cctx = takeContext();
        if (!m_cctx)
            return fail(m_error, "cannot encode a record: out of memory");
        const auto set = [this](ZSTD_cParameter parameter, int value) {
            return !ZSTD_isError(ZSTD_CCtx_setParameter(m_cctx.get(), parameter, value));
        };
        bool ok = set(ZSTD_c_compressionLevel, m_options.level) && set(ZSTD_c_checksumFlag, 1)
               && set(ZSTD_c_contentSizeFlag, 1) && !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(m_cctx.get(), size));
        const int windowLog = prefix ? deltaWindowLog(prefix->size() + size) : 0;
        if (prefix)
            ok = ok && set(ZSTD_c_windowLog, windowLog)
              && set(ZSTD_c_enableLongDistanceMatching, windowLog > kLongMatchWindowLog)
              && !ZSTD_isError(ZSTD_CCtx_refPrefix(m_cctx.get(), prefix->data(), prefix->size()));
        if (windowLog > kLargeDeltaWindowLog)
            ok = ok && set(ZSTD_c_hashLog, kLargeDeltaTableLog) && set(ZSTD_c_chainLog, kLargeDeltaTableLog);
        if (!ok)
            return fail(m_error, "cannot encode a record at level " + std::to_string(m_options.level)
                                     + ": zstd refuses its parameters");
        const std::size_t headerLength = m_options.archive ? kCanonicalHeaderLength : kRecordHeaderLength;
        return m_sink.put(std::string(headerLength, '\0').data(), headerLength, m_error) && account(headerLength);
    }

    // Feeds `input`; the last piece ends the frame. False on failure, or once
    // the record has grown past the caller's limit (then tooLong()).
    bool feed(std::string_view input, bool last)
    {
        ZSTD_inBuffer in{input.data(), input.size(), 0};
        const ZSTD_EndDirective directive = last ? ZSTD_e_end : ZSTD_e_continue;
        for (;;) {
            ZSTD_outBuffer out{m_out.data(), m_out.size(), 0};
            const std::size_t left = ZSTD_compressStream2(m_cctx.get(), &out, &in, directive);
            if (ZSTD_isError(left))
                return fail(m_error, std::string("cannot encode a record: ") + ZSTD_getErrorName(left));
            if (!m_sink.put(m_out.data(), out.pos, m_error) || !account(out.pos))
                return false;
            if (last ? left == 0 : in.pos == in.size)
                return true;
        }
    }

    bool tooLong() const { return m_length > m_options.maxLength; }
    std::uint64_t length() const { return m_length; }

private:
    bool account(std::size_t written)
    {
        m_length += written;
        return !tooLong();
    }

    const EncodeOptions& m_options;
    Sink& m_sink;
    std::string* m_error;
    std::string m_out;
    CCtxPointer m_cctx;
    std::uint64_t m_length = 0;
};

std::optional<EncodedRecord> encode(const ContentsFile& contents, const DeltaBase* base, Sink& sink,
                                    EncodeOptions options, std::string* error)
{
    if (options.level == 0)
        options.level = base ? kDeltaLevel : kRecordLevel;
    if (options.level < 1 || options.level > kMaxLevel)
        return refused(error, "cannot encode a record at level " + std::to_string(options.level));
    EncodedRecord record;
    record.header.kind = base ? EncodedKind::Delta : EncodedKind::Compressed;
    record.header.size = contents.size;
    record.header.archive = options.archive;
    Encoder encoder(options, sink, contents.size, error);

    std::optional<std::string> prefix;
    if (base) {
        if (!isId(base->name))
            return refused(error, "cannot encode a delta: its base's name is not a record name");
        if (contents.size > kDeltaLimit || base->contents.size > kDeltaLimit)
            return refused(error, "cannot encode a delta of " + std::to_string(contents.size) + " bytes against "
                                      + std::to_string(base->contents.size)
                                      + " bytes: deltas are made of contents up to " + mebibytes(kDeltaLimit)
                                      + " only");
        if (!(prefix = readContents(base->contents, "base's contents", error)))
            return std::nullopt;
        auto baseChecksum = checksumOf(*prefix);
        if (!baseChecksum)
            return refused(error, "cannot checksum a record's base: out of memory");
        if (!checkChecksum(base->contents, *baseChecksum, "base's contents", error))
            return std::nullopt;
        record.header.baseName = base->name;
        record.header.baseSize = base->contents.size;
        record.header.baseChecksum = *baseChecksum;
    }
    if (!encoder.setUp(contents.size, prefix ? &*prefix : nullptr))
        return encoder.tooLong() ? std::optional(record) : std::nullopt;
    std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, contents.size)), '\0');
    Checksum checksum;
    std::uint64_t offset = 0;
    do {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, contents.size - offset));
        const auto got = readAt(contents.fd, contents.from + offset, chunk.data(), want, error);
        if (!got)
            return std::nullopt;
        if (*got != want)
            return refused(error, "the contents end after " + std::to_string(offset + *got) + " of "
                                      + std::to_string(contents.size) + " bytes");
        checksum.update(chunk.data(), want);
        offset += want;
        if (!encoder.feed(std::string_view(chunk.data(), want), offset == contents.size))
            return encoder.tooLong() ? std::optional(record) : std::nullopt;
    } while (offset < contents.size);
    auto sum = checksum.finish();
    if (!sum)
        return refused(error, "cannot checksum a record's contents: out of memory");
    if (!checkChecksum(contents, *sum, "contents", error))
        return std::nullopt;
    record.header.checksum = *sum;
    if (!sink.patchHeader(serializeHeader(record.header), error))
        return std::nullopt;
    record.length = encoder.length();
    return record;
}

} // namespace

std::optional<EncodedRecord> encodeRecord(const ContentsFile& contents, const DeltaBase* base, int outFd,
                                          const EncodeOptions& options, std::string* error)
{
    const off_t start = lseek(outFd, 0, SEEK_CUR);
    struct stat status;
    if (start < 0 || fstat(outFd, &status) != 0 || !S_ISREG(status.st_mode))
        return refused(error, "cannot write a record into " + pathOfDescriptor(outFd) + ": not a regular file");
    Sink sink{[outFd](const char* data, std::size_t size, std::string* e) { return writeAll(outFd, data, size, e); },
              [outFd, start](const std::string& header, std::string* e) {
                  if (pwrite(outFd, header.data(), header.size(), start) == ssize_t(header.size()))
                      return true;
                  return fail(e, errnoMessage("cannot write a record's header into " + pathOfDescriptor(outFd)));
              }};
    return encode(contents, base, sink, options, error);
}

std::optional<EncodedRecord> encodeRecord(const ContentsFile& contents, const DeltaBase* base, std::string& out,
                                          const EncodeOptions& options, std::string* error)
{
    const std::size_t start = out.size();
    Sink sink{[&out](const char* data, std::size_t size, std::string*) {
                  out.append(data, size);
                  return true;
              },
              [&out, start](const std::string& header, std::string*) {
                  out.replace(start, header.size(), header);
                  return true;
              }};
    return encode(contents, base, sink, options, error);
}

bool mayShrink(const ContentsFile& contents, const DeltaBase* base)
{
    // A frame's own bytes would outweigh what a short sample can tell.
    constexpr std::uint64_t kShortest = 1024;
    if (contents.size < kShortest)
        return true;
    const std::uint64_t sample = std::min(contents.size, kTrySampleSize);
    for (const std::uint64_t at : {std::uint64_t{0}, contents.size - sample}) {
        std::string bytes;
        const auto encoded = encodeRecord({contents.fd, sample, std::nullopt, contents.from + at}, base, bytes,
                                          {1, kRecordHeaderLength + sample});
        if (!encoded || encoded->length)
            return true;
        if (at == contents.size - sample)
            break;
    }
    return false;
}

} // namespace strataloom::store
