#include "MemberContents.h"
#include "RawDeflate.h"
#include "ZipLayout.h"

namespace strataloom::store::zip {

std::optional<std::string> memberContents(std::string_view zip, std::string_view name, std::uint64_t maxSize,
                                          std::string* error)
{
    const auto layout = readZipLayout(zip, error);
    if (!layout)
        return std::nullopt;
    const auto fail = [&](const char* message) -> std::optional<std::string> {
        if (error)
            *error = message;
        return std::nullopt;
    };
    for (const ZipMember& member : *layout) {
        if (member.name != name)
            continue;
        const std::string_view data = zip.substr(member.dataOffset, member.compressedSize);
        if (member.encrypted)
            return fail("the member is encrypted");
        if (member.method == 0)
            return data.size() <= maxSize ? std::optional<std::string>(data) : fail("the member is too large");
        if (member.method != 8)
            return fail("the member is compressed with a method other than deflate");
        return inflateRaw(data, maxSize, error);
    }
    return fail("the archive has no such member");
}

} // namespace strataloom::store::zip
