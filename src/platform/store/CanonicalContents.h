#pragma once

#include "FileDescriptor.h"
#include "StoreLayout.h"
#include "records/RecordCodec.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Between a record's contents and the canonical form of a zip archive
// (records/zip/CanonicalForm.h), which a record may hold instead: deltas
// between the forms of two office documents are a few percent of what they
// are between the archives. Forms are held in memory, so they are bounded as
// deltas are, by kDeltaLimit. docs/STORE.md, "Canonical zip records".
namespace strataloom::store {

// The first `size` bytes of `fd`, read with explicit offsets; none, with a
// message, when they cannot be read or exceed kDeltaLimit.
std::optional<std::string> readBounded(int fd, std::uint64_t size, std::string* error = nullptr);

// Whether the contents of `fd` start as every zip archive with a member
// does: the contents a canonical form may be made of.
bool startsLikeZip(int fd);

// The canonical form of the contents of `fd` (`size` bytes), when they start
// like a zip archive and a form of at most kDeltaLimit bytes rebuilds them
// byte for byte; none otherwise (then they are kept as they are). False only
// when reading fails.
bool canonicalFormOf(int fd, std::uint64_t size, std::optional<std::string>& form, std::string* error = nullptr);

// Rebuilds the archive `form` holds into `outFd`, from its current position,
// streaming: succeeds only when what comes out is `archive`, by size and
// checksum. On failure `outFd` holds a prefix, to be discarded.
bool rebuildArchive(std::string_view form, int outFd, const ArchiveOfForm& archive, std::string* error = nullptr);

// Writes `bytes` into the empty file `fd` and rewinds it.
bool fillFile(int fd, std::string_view bytes, std::string* error = nullptr);

struct FormEncoding {
    EncodedKind kind = EncodedKind::Compressed;
    std::string bytes; // the record
};

// `contents` (its checksum given) encoded as its canonical form: a delta
// against the form of `base`'s contents when `base` is given, has a form and
// the delta takes at most `deltaMax` bytes, else compressed when that takes
// at most `compressedMax`. Empty inside when the contents have no form or
// neither pays; empty with `error` set when reading or encoding failed.
std::optional<std::optional<FormEncoding>> encodeAsForm(const ContentsFile& contents, const DeltaBase* base,
                                                        std::uint64_t deltaMax, std::uint64_t compressedMax,
                                                        std::string* error = nullptr);

// Decodes the record held by `recordFd` (or by `packed`, when given) as
// decodeRecord() does, into the contents a reader gets: a canonical zip
// record's form is decoded (a delta against the form of the contents of
// `baseFd`, made again) and rebuilt into `outFd`, its forms passing through
// unnamed files of `layout`'s tmp/. For readers that hand each record's
// contents on to the records made against it, as check does.
std::optional<RecordHeader> decodeRecordContents(int recordFd, const std::optional<std::string>& packed, int baseFd,
                                                 int outFd, const RecordExpectations& expected,
                                                 const StoreLayout& layout, std::string* error = nullptr);

} // namespace strataloom::store
