#pragma once

#include "RawDeflate.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The canonical form of a zip archive: every byte of the archive kept as it
// is, except the compressed data of deflated members, kept inflated with the
// parameters that deflate them back to the very same bytes. Two versions of an
// office document differ in their forms about as much as in their text, while
// their archives differ almost everywhere after the first change.
//
// A store keeps the form instead of the archive, and takes deltas between
// forms (a delta's base is then the base's form too, not its archive);
// rebuilding gives back the archive byte for byte, on any machine (the
// deflater is a pinned zlib release of our own) and never anything else (the
// form carries the archive's checksum, checked after every rebuild, and one
// of its own, checked before). Making a form deflates every member twice
// (finding its parameters, then proving the rebuild), so it belongs after a
// version is safely stored, not on the way there.
namespace strataloom::store::zip {

// A form at most this large by default: the inflated members of a small
// archive can be huge, and the form is held in memory.
constexpr std::uint64_t kDefaultMaxFormSize = 64 * 1024 * 1024;

// What became of one deflated member, for measuring and telling.
struct MemberOutcome {
    std::string name;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0; // inflated, when it could be inflated
    std::optional<DeflateParams> params; // none: kept deflated, as it is
};

// The canonical form of `zip`, only when rebuilding it gives back `zip` byte
// for byte (checked before returning). None, with a message, when `zip` is not
// a zip archive, or none of its deflated members could be rebuilt, or the form
// would exceed `maxFormSize`: then the archive is to be kept as it is.
// Members that cannot be rebuilt stay deflated inside the form. `outcomes`,
// when given, receives every deflated member's fate.
std::optional<std::string> canonicalForm(std::string_view zip, std::string* error = nullptr,
                                         std::vector<MemberOutcome>* outcomes = nullptr,
                                         std::uint64_t maxFormSize = kDefaultMaxFormSize);

// Rebuilds the archive into `sink`, piece by piece. False, with a message,
// when the form is damaged or of another version; the pieces already given
// are then to be thrown away (the checksum can only be checked at the end).
bool rebuild(std::string_view form, const ByteSink& sink, std::string* error = nullptr);

// The archive rebuilt, whole; none, with a message, when the form is damaged.
std::optional<std::string> rebuild(std::string_view form, std::string* error = nullptr);

// What a form says about the archive it rebuilds, without rebuilding it.
struct FormSummary {
    std::uint64_t zipSize = 0;
    std::string zipChecksum; // XXH3-128, 16 raw bytes, big-endian
};
std::optional<FormSummary> readFormSummary(std::string_view form, std::string* error = nullptr);

// Whether `bytes` start like a canonical form (its magic).
bool isCanonicalForm(std::string_view bytes);

} // namespace strataloom::store::zip
