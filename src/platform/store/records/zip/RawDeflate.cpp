#include "RawDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <vector>

namespace strataloom::store::zip {

namespace {

constexpr std::size_t kChunk = 16 * 1024;
constexpr std::size_t kWindow = 32 * 1024;

// The vendored zlib is built without a default allocator.
voidpf allocate(voidpf, uInt items, uInt size)
{
    return std::calloc(items, size);
}

void release(voidpf, voidpf address)
{
    std::free(address);
}

z_stream freshStream()
{
    z_stream stream{};
    stream.zalloc = allocate;
    stream.zfree = release;
    return stream;
}

// One raw deflate stream, ended by `flush` (Z_FINISH or Z_SYNC_FLUSH), with an
// optional preset dictionary.
bool deflateOne(std::string_view input, std::string_view dictionary, int flush, const DeflateParams& params,
                const ByteSink& sink, std::string* error)
{
    z_stream stream = freshStream();
    if (deflateInit2(&stream, params.level, Z_DEFLATED, -params.windowBits, params.memLevel, params.strategy) != Z_OK) {
        if (error)
            *error = "the deflate parameters were refused";
        return false;
    }
    bool ok = true;
    if (!dictionary.empty()
        && deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary.data()),
                                static_cast<uInt>(dictionary.size()))
               != Z_OK) {
        ok = false;
        if (error)
            *error = "the deflate dictionary was refused";
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    char out[kChunk];
    int status = Z_OK;
    while (ok) {
        stream.next_out = reinterpret_cast<Bytef*>(out);
        stream.avail_out = kChunk;
        status = deflate(&stream, flush);
        const std::size_t produced = kChunk - stream.avail_out;
        if (status != Z_OK && status != Z_STREAM_END) {
            ok = false;
            if (error)
                *error = "deflating failed";
            break;
        }
        if (produced > 0 && !sink(std::string_view(out, produced))) {
            ok = false;
            if (error)
                *error = "the deflated bytes were not taken";
            break;
        }
        // A sync flush is complete when deflate leaves output space unused.
        if (status == Z_STREAM_END || (flush != Z_FINISH && stream.avail_out > 0 && stream.avail_in == 0))
            break;
    }
    deflateEnd(&stream);
    return ok;
}

} // namespace

bool DeflateParams::valid() const
{
    return level >= 1 && level <= 9 && memLevel >= 1 && memLevel <= 9 && windowBits >= 9 && windowBits <= 15
        && strategy >= Z_DEFAULT_STRATEGY && strategy <= Z_FIXED && (blockSize == 0 || blockSize >= kWindow);
}

std::optional<std::string> inflateRaw(std::string_view data, std::uint64_t maxOutput, std::string* error)
{
    z_stream stream = freshStream();
    if (inflateInit2(&stream, -15) != Z_OK) {
        if (error)
            *error = "the inflater could not be set up";
        return std::nullopt;
    }
    std::string result;
    std::size_t offset = 0;
    char out[kChunk];
    int status = Z_OK;
    const char* failure = nullptr;
    while (status != Z_STREAM_END) {
        const std::size_t feed = std::min<std::size_t>(data.size() - offset, 1u << 30);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
        stream.avail_in = static_cast<uInt>(feed);
        stream.next_out = reinterpret_cast<Bytef*>(out);
        stream.avail_out = kChunk;
        status = inflate(&stream, Z_NO_FLUSH);
        offset += feed - stream.avail_in;
        const std::size_t produced = kChunk - stream.avail_out;
        if (status != Z_OK && status != Z_STREAM_END) {
            failure = "the deflated data are damaged or cut short";
            break;
        }
        if (produced > maxOutput - result.size()) {
            failure = "the deflated data inflate to more than allowed";
            break;
        }
        result.append(out, produced);
        if (status == Z_OK && produced == 0 && offset == data.size()) {
            failure = "the deflated data are cut short";
            break;
        }
    }
    inflateEnd(&stream);
    if (!failure && offset != data.size())
        failure = "the deflated data end before their recorded size";
    if (failure) {
        if (error)
            *error = failure;
        return std::nullopt;
    }
    return result;
}

bool deflateRaw(std::string_view input, const DeflateParams& params, const ByteSink& sink, std::string* error)
{
    if (!params.valid()) {
        if (error)
            *error = "the deflate parameters are out of range";
        return false;
    }
    // One call takes the whole input, as zlib counts it.
    if (input.size() > std::numeric_limits<uInt>::max()) {
        if (error)
            *error = "the member is too large to deflate in one piece";
        return false;
    }
    if (params.blockSize == 0 || input.size() <= params.blockSize)
        return deflateOne(input, {}, Z_FINISH, params, sink, error);
    for (std::size_t start = 0; start < input.size(); start += params.blockSize) {
        const std::string_view block = input.substr(start, params.blockSize);
        const bool last = start + block.size() == input.size();
        const std::size_t primed = std::min(start, kWindow);
        if (!deflateOne(block, input.substr(start - primed, primed), last ? Z_FINISH : Z_SYNC_FLUSH, params, sink,
                        error))
            return false;
    }
    return true;
}

bool deflatesTo(std::string_view input, const DeflateParams& params, std::string_view deflated)
{
    std::size_t matched = 0;
    const bool complete = deflateRaw(input, params, [&](std::string_view piece) {
        if (piece.size() > deflated.size() - matched || deflated.compare(matched, piece.size(), piece) != 0)
            return false;
        matched += piece.size();
        return true;
    });
    return complete && matched == deflated.size();
}

std::optional<DeflateParams> findDeflateParams(std::string_view input, std::string_view deflated,
                                               const std::optional<DeflateParams>& hint, std::uint64_t* budget)
{
    // Most likely first: zlib's default, in one stream and in the office
    // suites' blocks (a failed try at one costs a block's work), then zlib's
    // other levels, the larger memory setting and the other strategies.
    std::vector<DeflateParams> candidates;
    std::optional<DeflateParams> first = hint;
    if (first && input.size() <= first->blockSize)
        first->blockSize = 0; // the same stream
    if (first && first->valid())
        candidates.push_back(*first);
    std::vector<std::uint32_t> blockSizes{0};
    if (input.size() > kOfficeBlockSize)
        blockSizes.push_back(kOfficeBlockSize);
    for (const std::uint32_t blockSize : blockSizes)
        candidates.push_back({6, 8, 15, Z_DEFAULT_STRATEGY, blockSize});
    for (const std::uint32_t blockSize : blockSizes) {
        for (const int memLevel : {8, 9}) {
            for (const int level : {9, 1, 5, 2, 3, 4, 7, 8, 6}) {
                if (level != 6 || memLevel != 8)
                    candidates.push_back({level, memLevel, 15, Z_DEFAULT_STRATEGY, blockSize});
            }
        }
        for (const int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE})
            candidates.push_back({6, 8, 15, strategy, blockSize});
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0 && first && candidates[i] == *first)
            continue;
        if (i > 0 && budget) {
            const std::uint64_t cost = std::max<std::uint64_t>(input.size(), 64 * 1024);
            if (*budget < cost)
                break;
            *budget -= cost;
        }
        if (deflatesTo(input, candidates[i], deflated)) {
            // Input within one block is deflated as one stream either way.
            if (input.size() <= candidates[i].blockSize)
                candidates[i].blockSize = 0;
            return candidates[i];
        }
    }
    return std::nullopt;
}

} // namespace strataloom::store::zip
