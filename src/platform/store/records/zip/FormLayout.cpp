#include "FormLayout.h"
#include "LittleEndian.h"

#include <xxhash.h>

namespace strataloom::store::zip {

namespace {

constexpr std::string_view kMagic("SLZIPCF\n", 8);
constexpr std::uint64_t kHeaderSize = 8 + 4 + 4 + 8 + kFormChecksumSize + 8 + 8;
constexpr std::uint64_t kMemberSize = 32;

std::optional<ParsedForm> refuse(std::string* error, const char* message)
{
    if (error)
        *error = std::string("the canonical form is damaged: ") + message;
    return std::nullopt;
}

} // namespace

bool hasFormMagic(std::string_view bytes)
{
    return bytes.substr(0, kMagic.size()) == kMagic;
}

std::string formChecksum(std::string_view bytes)
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes.data(), bytes.size()));
    return std::string(reinterpret_cast<const char*>(canonical.digest), sizeof(canonical.digest));
}

std::uint64_t formSize(std::uint64_t skeletonSize, std::uint64_t dataSize, std::uint64_t memberCount)
{
    return kHeaderSize + memberCount * kMemberSize + skeletonSize + dataSize + kFormChecksumSize;
}

std::string beginForm(std::uint64_t zipSize, std::string_view zipChecksum, const std::vector<FormMember>& members,
                      std::string_view skeleton, std::uint64_t dataSize)
{
    std::string form;
    form.reserve(formSize(skeleton.size(), dataSize, members.size()));
    form.append(kMagic);
    appendLittle(form, kFormVersion, 4);
    appendLittle(form, members.size(), 4);
    appendLittle(form, zipSize, 8);
    form.append(zipChecksum);
    appendLittle(form, skeleton.size(), 8);
    appendLittle(form, dataSize, 8);
    for (const FormMember& member : members) {
        appendLittle(form, member.offset, 8);
        appendLittle(form, member.compressedSize, 8);
        appendLittle(form, member.size, 8);
        appendLittle(form, member.params.level, 1);
        appendLittle(form, member.params.memLevel, 1);
        appendLittle(form, member.params.windowBits, 1);
        appendLittle(form, member.params.strategy, 1);
        appendLittle(form, member.params.blockSize, 4);
    }
    form.append(skeleton);
    return form;
}

void finishForm(std::string& form)
{
    form.append(formChecksum(form));
}

std::string encodeForm(std::uint64_t zipSize, std::string_view zipChecksum, const std::vector<FormMember>& members,
                       std::string_view skeleton, std::string_view data)
{
    std::string form = beginForm(zipSize, zipChecksum, members, skeleton, data.size());
    form.append(data);
    finishForm(form);
    return form;
}

std::optional<ParsedForm> parseForm(std::string_view form, std::string* error)
{
    if (!hasFormMagic(form))
        return refuse(error, "it does not start with the form's magic");
    if (form.size() < kHeaderSize + kFormChecksumSize)
        return refuse(error, "it is cut short");
    const std::string_view trailer = form.substr(form.size() - kFormChecksumSize);
    form.remove_suffix(kFormChecksumSize);
    FieldReader header(form, kMagic.size());
    ParsedForm parsed;
    parsed.version = static_cast<std::uint32_t>(header.take(4));
    const std::uint64_t count = header.take(4);
    parsed.zipSize = header.take(8);
    parsed.zipChecksum = std::string(header.takeBytes(kFormChecksumSize));
    const std::uint64_t skeletonSize = header.take(8);
    const std::uint64_t dataSize = header.take(8);
    if (header.failed())
        return refuse(error, "its header is cut short");
    if (parsed.version != kFormVersion) {
        if (error)
            *error = "the canonical form has version " + std::to_string(parsed.version) + ", this program reads "
                   + std::to_string(kFormVersion);
        return std::nullopt;
    }
    if (formChecksum(form) != trailer)
        return refuse(error, "its checksum does not match its contents");
    const std::uint64_t rest = form.size() - kHeaderSize;
    if (count > rest / kMemberSize || skeletonSize > rest - count * kMemberSize
        || dataSize != rest - count * kMemberSize - skeletonSize)
        return refuse(error, "its parts do not add up to its size");
    FieldReader table(form, kHeaderSize);
    std::uint64_t end = 0;
    std::uint64_t compressed = 0;
    std::uint64_t inflated = 0;
    parsed.members.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        FormMember member;
        member.offset = table.take(8);
        member.compressedSize = table.take(8);
        member.size = table.take(8);
        member.params.level = static_cast<int>(table.take(1));
        member.params.memLevel = static_cast<int>(table.take(1));
        member.params.windowBits = static_cast<int>(table.take(1));
        member.params.strategy = static_cast<int>(table.take(1));
        member.params.blockSize = static_cast<std::uint32_t>(table.take(4));
        if (!member.params.valid())
            return refuse(error, "a member's deflate parameters are out of range");
        if (member.offset < end || member.offset > parsed.zipSize
            || member.compressedSize > parsed.zipSize - member.offset)
            return refuse(error, "its members are out of order or outside the archive");
        if (member.size > dataSize - inflated)
            return refuse(error, "its members' sizes exceed its data");
        end = member.offset + member.compressedSize;
        compressed += member.compressedSize;
        inflated += member.size;
        parsed.members.push_back(member);
    }
    if (inflated != dataSize || skeletonSize != parsed.zipSize - compressed)
        return refuse(error, "its parts do not add up to the archive's size");
    parsed.skeleton = form.substr(table.offset(), skeletonSize);
    parsed.data = form.substr(table.offset() + skeletonSize, dataSize);
    return parsed;
}

} // namespace strataloom::store::zip
