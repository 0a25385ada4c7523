#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Raw deflate streams (RFC 1951, as zip members hold them) through the pinned
// zlib release of this project, never the system's.
namespace strataloom::store::zip {

// How a member's bytes were deflated. With a block size the input is cut into
// blocks of that many bytes, each deflated by a fresh stream primed with the
// 32 KiB before it and ended by a sync flush (the last by the stream's end):
// how an office suite deflates large members on several threads.
struct DeflateParams {
    int level = 6;
    int memLevel = 8;
    int windowBits = 15;
    int strategy = 0;
    std::uint32_t blockSize = 0;

    bool operator==(const DeflateParams&) const = default;
    bool valid() const;
};

// Receives output piece by piece; returning false stops the work.
using ByteSink = std::function<bool(std::string_view)>;

// Inflates the raw deflate stream at the start of `data`. None when it is not
// a valid stream, when it would inflate to more than `maxOutput` bytes, or
// when it does not end exactly at the end of `data`.
std::optional<std::string> inflateRaw(std::string_view data, std::uint64_t maxOutput, std::string* error = nullptr);

// Deflates `input` with `params` into `sink`. False when the parameters are
// refused, zlib fails, or the sink stops the work.
bool deflateRaw(std::string_view input, const DeflateParams& params, const ByteSink& sink,
                std::string* error = nullptr);

// Whether deflating `input` with `params` gives exactly `deflated`; stops at
// the first byte that differs.
bool deflatesTo(std::string_view input, const DeflateParams& params, std::string_view deflated);

// The parameters, among the ones common deflaters use, that turn `input` into
// exactly `deflated`; `hint` (what rebuilt a neighbouring member) is tried
// first. None when no candidate reproduces it. Each try after the first is
// charged to `budget`, when given, as the input's size (at least 64 KiB), and
// none is made that the budget cannot pay: an archive made to waste our time
// cannot.
std::optional<DeflateParams> findDeflateParams(std::string_view input, std::string_view deflated,
                                               const std::optional<DeflateParams>& hint = std::nullopt,
                                               std::uint64_t* budget = nullptr);

// Office suites cut large members into blocks of this size.
constexpr std::uint32_t kOfficeBlockSize = 128 * 1024;

} // namespace strataloom::store::zip
