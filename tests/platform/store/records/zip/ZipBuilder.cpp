#include "ZipBuilder.h"

#include <array>
#include <cstdint>

namespace strataloom::test {

namespace {

void put(std::string& out, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint32_t crc32(const std::string& bytes)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xffffffffu;
    for (const char ch : bytes)
        crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xff] ^ (crc >> 8);
    return crc ^ 0xffffffffu;
}

std::string deflated(const ZipEntry& entry)
{
    if (entry.foreignDeflated)
        return *entry.foreignDeflated;
    std::string out;
    store::zip::deflateRaw(entry.contents, *entry.deflate, [&](std::string_view piece) {
        out.append(piece);
        return true;
    });
    return out;
}

class BitWriter {
public:
    void bits(std::uint32_t value, int count)
    {
        for (int i = 0; i < count; ++i)
            bit((value >> i) & 1);
    }
    // Huffman codes go most significant bit first.
    void code(std::uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i)
            bit((value >> i) & 1);
    }
    std::string finish()
    {
        if (m_used > 0)
            m_out.push_back(static_cast<char>(m_byte));
        return m_out;
    }

private:
    void bit(std::uint32_t b)
    {
        m_byte |= b << m_used;
        if (++m_used == 8) {
            m_out.push_back(static_cast<char>(m_byte));
            m_byte = 0;
            m_used = 0;
        }
    }
    std::string m_out;
    std::uint32_t m_byte = 0;
    int m_used = 0;
};

} // namespace

ZipEntry deflatedEntry(std::string name, std::string contents, store::zip::DeflateParams params)
{
    ZipEntry entry;
    entry.name = std::move(name);
    entry.contents = std::move(contents);
    entry.deflate = params;
    return entry;
}

ZipEntry storedEntry(std::string name, std::string contents)
{
    ZipEntry entry = deflatedEntry(std::move(name), std::move(contents));
    entry.deflate.reset();
    return entry;
}

ZipEntry foreignEntry(std::string name, std::string deflated)
{
    ZipEntry entry = storedEntry(std::move(name), {});
    entry.foreignDeflated = std::move(deflated);
    return entry;
}

ZipEntry withDescriptor(ZipEntry entry)
{
    entry.dataDescriptor = true;
    return entry;
}

ZipEntry withZip64(ZipEntry entry)
{
    entry.zip64 = true;
    return entry;
}

std::string literalOnlyDeflate(const std::string& contents)
{
    BitWriter writer;
    writer.bits(1, 1); // last block
    writer.bits(1, 2); // fixed Huffman codes
    for (const char ch : contents) {
        const std::uint32_t literal = static_cast<unsigned char>(ch);
        if (literal < 144)
            writer.code(0x30 + literal, 8);
        else
            writer.code(0x190 + literal - 144, 9);
    }
    writer.code(0, 7); // end of block
    return writer.finish();
}

std::string buildZip(const std::vector<ZipEntry>& entries, const ZipOptions& options)
{
    std::string zip;
    std::string central;
    for (const ZipEntry& entry : entries) {
        const bool compressed = entry.foreignDeflated || entry.deflate;
        const std::string data = compressed ? deflated(entry) : entry.contents;
        const std::uint32_t crc = crc32(entry.contents);
        const std::uint64_t offset = zip.size();
        // The local header's zip64 field holds the sizes, the directory's
        // the offset too.
        std::string localExtra;
        std::string centralExtra;
        if (entry.zip64) {
            for (std::string* field : {&localExtra, &centralExtra}) {
                put(*field, 0x0001, 2);
                put(*field, field == &localExtra ? 16 : 24, 2);
                put(*field, entry.contents.size(), 8);
                put(*field, data.size(), 8);
            }
            put(centralExtra, offset, 8);
        }
        localExtra += entry.extra;
        centralExtra += entry.extra;
        const std::uint16_t flags = entry.dataDescriptor ? 8 : 0;
        const auto header = [&](bool local) {
            std::string h;
            put(h, local ? 0x04034b50 : 0x02014b50, 4);
            if (!local)
                put(h, 0x031e, 2);
            put(h, entry.zip64 ? 45 : 20, 2);
            put(h, flags, 2);
            put(h, compressed ? 8 : 0, 2);
            put(h, 0x6c21, 2); // time
            put(h, 0x5a87, 2); // date
            const bool deferred = local && entry.dataDescriptor;
            put(h, deferred ? 0 : crc, 4);
            put(h, deferred ? 0 : entry.zip64 ? 0xffffffff : data.size(), 4);
            put(h, deferred ? 0 : entry.zip64 ? 0xffffffff : entry.contents.size(), 4);
            put(h, entry.name.size(), 2);
            const std::string& extra = local ? localExtra : centralExtra;
            put(h, extra.size(), 2);
            if (!local) {
                put(h, entry.comment.size(), 2);
                put(h, 0, 2);
                put(h, 0, 2);
                put(h, 0x81a40000u, 4);
                put(h, entry.zip64 ? 0xffffffff : offset, 4);
            }
            h += entry.name;
            h += extra;
            if (!local)
                h += entry.comment;
            return h;
        };
        zip += header(true);
        zip += data;
        if (entry.dataDescriptor) {
            put(zip, 0x08074b50, 4);
            put(zip, crc, 4);
            put(zip, data.size(), entry.zip64 ? 8 : 4);
            put(zip, entry.contents.size(), entry.zip64 ? 8 : 4);
        }
        central += header(false);
    }
    const std::uint64_t directoryOffset = zip.size();
    zip += central;
    if (options.zip64Directory) {
        const std::uint64_t recordOffset = zip.size();
        put(zip, 0x06064b50, 4);
        put(zip, 44, 8);
        put(zip, 45, 2);
        put(zip, 45, 2);
        put(zip, 0, 4);
        put(zip, 0, 4);
        put(zip, entries.size(), 8);
        put(zip, entries.size(), 8);
        put(zip, central.size(), 8);
        put(zip, directoryOffset, 8);
        put(zip, 0x07064b50, 4);
        put(zip, 0, 4);
        put(zip, recordOffset, 8);
        put(zip, 1, 4);
    }
    put(zip, 0x06054b50, 4);
    put(zip, 0, 2);
    put(zip, 0, 2);
    put(zip, options.zip64Directory ? 0xffff : entries.size(), 2);
    put(zip, options.zip64Directory ? 0xffff : entries.size(), 2);
    put(zip, options.zip64Directory ? 0xffffffff : central.size(), 4);
    put(zip, options.zip64Directory ? 0xffffffff : directoryOffset, 4);
    put(zip, options.comment.size(), 2);
    zip += options.comment;
    return zip;
}

} // namespace strataloom::test
