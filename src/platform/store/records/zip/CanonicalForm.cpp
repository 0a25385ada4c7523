#include "CanonicalForm.h"
#include "FormLayout.h"
#include "ZipLayout.h"

#include <xxhash.h>

#include <algorithm>

namespace strataloom::store::zip {

namespace {

constexpr std::uint16_t kDeflated = 8;
// What the search may deflate beyond each member's first try, for the whole
// archive: an office document needs one more try for a large member, an
// archive that nothing rebuilds spends it on a few members, and the rest get
// one try each.
constexpr std::uint64_t kSearchBudget = 256 * 1024 * 1024;

bool fail(std::string* error, std::string message)
{
    if (error)
        *error = std::move(message);
    return false;
}

struct HashState {
    HashState()
        : state(XXH3_createState())
    {
        if (state)
            XXH3_128bits_reset(state);
    }
    ~HashState() { XXH3_freeState(state); }
    HashState(const HashState&) = delete;
    HashState& operator=(const HashState&) = delete;
    std::string digest() const
    {
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state));
        return std::string(reinterpret_cast<const char*>(canonical.digest), sizeof(canonical.digest));
    }
    XXH3_state_t* state;
};

// Whether rebuilding `form` gives exactly `zip`.
bool rebuildsTo(std::string_view form, std::string_view zip, std::string* error)
{
    std::size_t matched = 0;
    const bool same = rebuild(form, [&](std::string_view piece) {
        if (piece.size() > zip.size() - matched || zip.compare(matched, piece.size(), piece) != 0)
            return false;
        matched += piece.size();
        return true;
    });
    if (!same || matched != zip.size())
        return fail(error, "the canonical form did not rebuild the archive byte for byte");
    return true;
}

} // namespace

std::optional<std::string> canonicalForm(std::string_view zip, std::string* error, std::vector<MemberOutcome>* outcomes,
                                         std::uint64_t maxFormSize)
{
    const auto layout = readZipLayout(zip, error);
    if (!layout)
        return std::nullopt;
    // First the parameters of each member, then the form, inflating the
    // members again: only one member's inflated bytes beside the form.
    std::vector<FormMember> members;
    std::uint64_t compressed = 0;
    std::uint64_t dataSize = 0;
    std::optional<DeflateParams> hint;
    std::uint64_t budget = kSearchBudget;
    for (const ZipMember& member : *layout) {
        if (member.method != kDeflated || member.encrypted || member.compressedSize == 0)
            continue;
        const std::string_view deflated = zip.substr(member.dataOffset, member.compressedSize);
        MemberOutcome outcome{std::string(member.name), member.compressedSize, 0, std::nullopt};
        const std::uint64_t formWithout =
            formSize(zip.size() - compressed - member.compressedSize, dataSize, members.size() + 1);
        const auto inflated = inflateRaw(deflated, formWithout < maxFormSize ? maxFormSize - formWithout : 0);
        if (inflated) {
            outcome.size = inflated->size();
            outcome.params = findDeflateParams(*inflated, deflated, hint, &budget);
        }
        if (outcome.params) {
            hint = outcome.params;
            members.push_back({member.dataOffset, member.compressedSize, inflated->size(), *outcome.params});
            compressed += member.compressedSize;
            dataSize += inflated->size();
        }
        if (outcomes)
            outcomes->push_back(std::move(outcome));
    }
    if (members.empty()) {
        fail(error, "no deflated member of the archive could be deflated back to the same bytes");
        return std::nullopt;
    }
    std::string skeleton;
    std::uint64_t copied = 0;
    for (const FormMember& member : members) {
        skeleton.append(zip.substr(copied, member.offset - copied));
        copied = member.offset + member.compressedSize;
    }
    skeleton.append(zip.substr(copied));
    std::string form = beginForm(zip.size(), formChecksum(zip), members, skeleton, dataSize);
    for (const FormMember& member : members) {
        const auto inflated = inflateRaw(zip.substr(member.offset, member.compressedSize), member.size);
        if (!inflated || inflated->size() != member.size) {
            fail(error, "a member inflated differently the second time");
            return std::nullopt;
        }
        form.append(*inflated);
    }
    finishForm(form);
    if (!rebuildsTo(form, zip, error))
        return std::nullopt;
    return form;
}

bool rebuild(std::string_view form, const ByteSink& sink, std::string* error)
{
    const auto parsed = parseForm(form, error);
    if (!parsed)
        return false;
    HashState hash;
    if (!hash.state)
        return fail(error, "no memory for the checksum of the rebuilt archive");
    const auto emit = [&](std::string_view piece) {
        XXH3_128bits_update(hash.state, piece.data(), piece.size());
        return sink(piece);
    };
    std::uint64_t at = 0; // in the archive
    std::uint64_t skeletonAt = 0;
    std::uint64_t dataAt = 0;
    for (const FormMember& member : parsed->members) {
        const std::uint64_t gap = member.offset - at;
        if (gap > 0 && !emit(parsed->skeleton.substr(skeletonAt, gap)))
            return fail(error, "the rebuilt archive was not taken");
        skeletonAt += gap;
        std::uint64_t produced = 0;
        bool overran = false;
        std::string deflateError;
        const bool deflated = deflateRaw(
            parsed->data.substr(dataAt, member.size), member.params,
            [&](std::string_view piece) {
                if (piece.size() > member.compressedSize - produced) {
                    overran = true;
                    return false;
                }
                produced += piece.size();
                return emit(piece);
            },
            &deflateError);
        if (overran || (deflated && produced != member.compressedSize))
            return fail(error, "the canonical form is damaged: a member deflates to another size than recorded");
        if (!deflated)
            return fail(error, "rebuilding a member failed: " + deflateError);
        dataAt += member.size;
        at = member.offset + member.compressedSize;
    }
    const std::string_view tail = parsed->skeleton.substr(skeletonAt);
    if (!tail.empty() && !emit(tail))
        return fail(error, "the rebuilt archive was not taken");
    if (hash.digest() != parsed->zipChecksum)
        return fail(error, "the canonical form is damaged: the rebuilt archive does not match its checksum");
    return true;
}

std::optional<std::string> rebuild(std::string_view form, std::string* error)
{
    std::string zip;
    // The archive is about the form's size or smaller; a damaged size must
    // not make us ask for much more.
    if (const auto summary = readFormSummary(form))
        zip.reserve(std::min<std::uint64_t>(summary->zipSize, form.size()));
    if (!rebuild(
            form,
            [&](std::string_view piece) {
                zip.append(piece);
                return true;
            },
            error))
        return std::nullopt;
    return zip;
}

std::optional<FormSummary> readFormSummary(std::string_view form, std::string* error)
{
    const auto parsed = parseForm(form, error);
    if (!parsed)
        return std::nullopt;
    return FormSummary{parsed->zipSize, parsed->zipChecksum};
}

bool isCanonicalForm(std::string_view bytes)
{
    return hasFormMagic(bytes);
}

} // namespace strataloom::store::zip
