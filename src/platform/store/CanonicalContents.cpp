#include "CanonicalContents.h"
#include "CanonicalForm.h"
#include "ContentHash.h"
#include "ErrorMessage.h"
#include "RecordFiles.h"

#include <cerrno>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

// A local file header's signature: what every zip archive with a member
// starts with (an archive without members has nothing to gain).
constexpr std::string_view kZipStart = "PK\x03\x04";

// `bytes` in an anonymous file, for the codec, which reads contents from one.
UniqueFd memoryFile(std::string_view bytes, std::string* error)
{
    UniqueFd file(memfd_create("strataloom-form", MFD_CLOEXEC));
    if (!file.valid()) {
        fail(error, errnoMessage("cannot make a canonical zip form"));
        return UniqueFd();
    }
    return fillFile(file.get(), bytes, error) ? std::move(file) : UniqueFd();
}

} // namespace

std::optional<std::string> readBounded(int fd, std::uint64_t size, std::string* error)
{
    if (size > kDeltaLimit) {
        fail(error, "its contents of " + std::to_string(size) + " bytes are too large to be held in memory");
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            fail(error, got < 0 ? errnoMessage("cannot read " + pathOfDescriptor(fd))
                                : "its contents end after " + std::to_string(done) + " bytes");
            return std::nullopt;
        }
        done += static_cast<std::size_t>(got);
    }
    return bytes;
}

bool startsLikeZip(int fd)
{
    char start[kZipStart.size()];
    return pread(fd, start, sizeof start, 0) == static_cast<ssize_t>(sizeof start)
        && std::string_view(start, sizeof start) == kZipStart;
}

bool canonicalFormOf(int fd, std::uint64_t size, std::optional<std::string>& form, std::string* error)
{
    form.reset();
    if (size > kDeltaLimit || !startsLikeZip(fd))
        return true;
    const auto zip = readBounded(fd, size, error);
    if (!zip)
        return false;
    form = zip::canonicalForm(*zip, nullptr, nullptr, kDeltaLimit);
    return true;
}

bool rebuildArchive(std::string_view form, int outFd, const ArchiveOfForm& archive, std::string* error)
{
    Checksum checksum;
    std::uint64_t size = 0;
    bool written = true;
    const bool rebuilt = zip::rebuild(
        form,
        [&](std::string_view piece) {
            size += piece.size();
            checksum.update(piece.data(), piece.size());
            return (written = size <= archive.size && writeAll(outFd, piece));
        },
        error);
    if (!written)
        return fail(error, size > archive.size ? "its canonical form rebuilds more than the recorded archive"
                                               : errnoMessage("cannot write a rebuilt archive"));
    if (!rebuilt)
        return false;
    if (size != archive.size || checksum.finish() != archive.checksum)
        return fail(error, "its canonical form rebuilds other bytes than the recorded archive");
    return true;
}

bool fillFile(int fd, std::string_view bytes, std::string* error)
{
    if (!writeAll(fd, bytes) || lseek(fd, 0, SEEK_SET) != 0)
        return fail(error, errnoMessage("cannot write a temporary file in the version store"));
    return true;
}

std::optional<std::optional<FormEncoding>> encodeAsForm(const ContentsFile& contents, const DeltaBase* base,
                                                        std::uint64_t deltaMax, std::uint64_t compressedMax,
                                                        std::string* error)
{
    if (!contents.checksum) {
        fail(error, "cannot encode contents of unknown checksum as a canonical zip form");
        return std::nullopt;
    }
    std::optional<std::string> form;
    if (!canonicalFormOf(contents.fd, contents.size, form, error))
        return std::nullopt;
    if (!form)
        return std::optional<FormEncoding>();
    const std::uint64_t formSize = form->size();
    const UniqueFd formFile = memoryFile(*form, error);
    form.reset();
    if (!formFile.valid())
        return std::nullopt;
    const ContentsFile formContents{formFile.get(), formSize, std::nullopt};
    EncodeOptions options;
    options.archive = ArchiveOfForm{contents.size, *contents.checksum};
    FormEncoding encoded;

    std::optional<std::string> baseForm;
    if (base && !canonicalFormOf(base->contents.fd, base->contents.size, baseForm, error))
        return std::nullopt;
    if (baseForm) {
        const std::uint64_t baseFormSize = baseForm->size();
        const UniqueFd baseFile = memoryFile(*baseForm, error);
        baseForm.reset();
        if (!baseFile.valid())
            return std::nullopt;
        const DeltaBase formBase{base->name, {baseFile.get(), baseFormSize, std::nullopt}};
        options.maxLength = deltaMax;
        const auto delta = encodeRecord(formContents, &formBase, encoded.bytes, options, error);
        if (!delta)
            return std::nullopt;
        if (delta->length) {
            encoded.kind = EncodedKind::Delta;
            return std::optional(std::move(encoded));
        }
        encoded.bytes.clear();
    }
    options.maxLength = compressedMax;
    const auto compressed = encodeRecord(formContents, nullptr, encoded.bytes, options, error);
    if (!compressed)
        return std::nullopt;
    if (!compressed->length)
        return std::optional<FormEncoding>();
    return std::optional(std::move(encoded));
}

std::optional<RecordHeader> decodeRecordContents(int recordFd, const std::optional<std::string>& packed, int baseFd,
                                                 int outFd, const RecordExpectations& expected,
                                                 const StoreLayout& layout, std::string* error)
{
    const auto decode = [&](int base, int out) {
        return packed ? decodeRecord(*packed, base, out, expected, error)
                      : decodeRecord(recordFd, base, out, expected, error);
    };
    const auto header = packed ? readRecordHeader(*packed, error) : readRecordHeader(recordFd, error);
    if (!header)
        return std::nullopt;
    if (!header->archive)
        return decode(baseFd, outFd);
    UniqueFd baseForm;
    if (header->kind == EncodedKind::Delta && baseFd >= 0) {
        struct stat status {};
        std::optional<std::string> form;
        if (fstat(baseFd, &status) != 0
            || !canonicalFormOf(baseFd, static_cast<std::uint64_t>(status.st_size), form, error))
            return std::nullopt;
        if (!form) {
            fail(error, "its base gives no canonical zip form");
            return std::nullopt;
        }
        baseForm.reset(layout.openUnnamedTemporaryFile(error));
        if (!baseForm.valid() || !fillFile(baseForm.get(), *form, error))
            return std::nullopt;
    }
    const UniqueFd formFile(layout.openUnnamedTemporaryFile(error));
    if (!formFile.valid() || !decode(baseForm.valid() ? baseForm.get() : baseFd, formFile.get()))
        return std::nullopt;
    const auto form = readBounded(formFile.get(), header->size, error);
    if (!form || !rebuildArchive(*form, outFd, *header->archive, error))
        return std::nullopt;
    return header;
}

} // namespace strataloom::store
