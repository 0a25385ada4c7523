#include "ManifestReader.h"

#include <QStringDecoder>
#include <QXmlStreamReader>

#include <plist/plist.h>

#include <cstdint>
#include <memory>

namespace strataloom {

namespace {

// Nesting and node bounds far above any manifest (which nests three deep)
// and far below what the property-list library survives: it parses binary
// containers and frees every tree recursively, and copies an object once for
// every reference to it.
constexpr unsigned kMaxDepth = 256;
constexpr std::uint64_t kMaxNodes = 1'000'000;
constexpr std::uint64_t kMaxExpandedBytes = kMaxManifestExpandedBytes;

constexpr char kBinaryMagic[] = "bplist00";
constexpr std::size_t kBinaryMagicSize = sizeof(kBinaryMagic) - 1;
constexpr std::size_t kTrailerSize = 32;
constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";
constexpr qsizetype kUtf8ByteOrderMarkSize = sizeof(kUtf8ByteOrderMark) - 1;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::uint64_t readBigEndian(const unsigned char* bytes, std::size_t size)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// Walks the object graph of a binary property list as its header and tables
// describe it, without building anything, to bound its depth and the nodes
// and bytes of the tree it expands to. Anything it cannot follow is refused.
class BinaryShape {
public:
    explicit BinaryShape(const QByteArray& body)
        : m_bytes(reinterpret_cast<const unsigned char*>(body.constData()))
        , m_size(std::size_t(body.size()))
    {
    }

    bool acceptable()
    {
        if (m_size < kBinaryMagicSize + kTrailerSize)
            return false;
        const unsigned char* trailer = m_bytes + m_size - kTrailerSize;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
        const std::uint64_t top = readBigEndian(trailer + 16, 8);
        m_tableOffset = readBigEndian(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8)
            return false;
        if (m_tableOffset < kBinaryMagicSize || m_tableOffset > m_size - kTrailerSize)
            return false;
        if (objectCount == 0 || objectCount > kMaxNodes || top >= objectCount
            || objectCount > (m_size - kTrailerSize - m_tableOffset) / m_offsetSize)
            return false;
        m_nodes.assign(objectCount, Node{});
        return visit(top, 0);
    }

private:
    enum class State : unsigned char { Unseen, Visiting, Done };
    struct Node {
        State state = State::Unseen;
        std::uint16_t depth = 0;
        std::uint32_t nodes = 0;
        std::uint32_t bytes = 0;
    };

    // Depth-first, memoised so that shared objects cost one visit; recursion
    // stops at kMaxDepth, so the stack stays small.
    bool visit(std::uint64_t index, unsigned level)
    {
        Node& node = m_nodes[index];
        if (node.state == State::Visiting)
            return false;
        if (node.state == State::Unseen) {
            if (level >= kMaxDepth)
                return false;
            node.state = State::Visiting;
            if (!visitChildren(index, level, node))
                return false;
            node.state = State::Done;
        }
        return level + node.depth <= kMaxDepth;
    }

    bool visitChildren(std::uint64_t index, unsigned level, Node& node)
    {
        const std::uint64_t offset = readBigEndian(m_bytes + m_tableOffset + index * m_offsetSize, m_offsetSize);
        if (offset < kBinaryMagicSize || offset >= m_tableOffset)
            return false;
        const unsigned char marker = m_bytes[offset];
        const unsigned type = marker >> 4;
        std::uint64_t position = offset + 1;
        std::uint64_t depth = 1;
        std::uint64_t nodes = 1;
        std::uint64_t bytes = 0;
        // Data (0x4), ASCII (0x5) and UTF-16 (0x6) strings carry their length;
        // a UTF-16 one counts characters of two bytes.
        if (type == 0x4 || type == 0x5 || type == 0x6) {
            std::uint64_t length = 0;
            const std::uint64_t unit = type == 0x6 ? 2 : 1;
            if (!readLength(marker, position, length) || length > kMaxExpandedBytes / unit)
                return false;
            bytes = length * unit;
        } else if (type == 0xA || type == 0xC || type == 0xD) {
            // Arrays (0xA), sets (0xC) and dictionaries (0xD) refer to other objects.
            std::uint64_t count = 0;
            if (!readLength(marker, position, count))
                return false;
            const std::uint64_t available = (m_tableOffset - position) / m_refSize;
            const std::uint64_t refs = type == 0xD ? count * 2 : count;
            if (count > available || refs > available)
                return false;
            for (std::uint64_t i = 0; i < refs; ++i) {
                const std::uint64_t child = readBigEndian(m_bytes + position + i * m_refSize, m_refSize);
                if (child >= m_nodes.size() || !visit(child, level + 1))
                    return false;
                depth = std::max<std::uint64_t>(depth, m_nodes[child].depth + 1u);
                // Each term is already within its bound, so the sums cannot wrap.
                nodes += m_nodes[child].nodes;
                bytes += m_nodes[child].bytes;
                if (nodes > kMaxNodes || bytes > kMaxExpandedBytes)
                    return false;
            }
        }
        node.depth = std::uint16_t(depth);
        node.nodes = std::uint32_t(nodes);
        node.bytes = std::uint32_t(bytes);
        return true;
    }

    // The length in the marker's low nibble or, when that is 0xF, in the
    // integer object that follows the marker; `position` moves past it.
    bool readLength(unsigned char marker, std::uint64_t& position, std::uint64_t& length) const
    {
        length = marker & 0x0F;
        if (length != 0x0F)
            return true;
        if (position >= m_tableOffset || (m_bytes[position] >> 4) != 0x1)
            return false;
        const std::size_t lengthSize = std::size_t(1) << (m_bytes[position] & 0x0F);
        if (lengthSize > 8 || lengthSize > m_tableOffset - position - 1)
            return false;
        length = readBigEndian(m_bytes + position + 1, lengthSize);
        position += 1 + lengthSize;
        return true;
    }

    const unsigned char* m_bytes;
    std::size_t m_size;
    unsigned m_offsetSize = 0;
    unsigned m_refSize = 0;
    std::uint64_t m_tableOffset = 0;
    std::vector<Node> m_nodes;
};

// The XML form is checked with a conforming reader: it must be well formed and
// nest no deeper than the bound (plus the <plist> element and the leaf element).
bool xmlShapeAcceptable(const QByteArray& body)
{
    QXmlStreamReader xml(body);
    unsigned depth = 0;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth > kMaxDepth + 2)
                return false;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    return !xml.hasError();
}

PlistPtr parse(const QByteArray& body)
{
    if (body.size() > kMaxManifestBytes)
        return nullptr;
    plist_t root = nullptr;
    if (body.startsWith(kBinaryMagic)) {
        if (BinaryShape(body).acceptable())
            plist_from_bin(body.constData(), std::uint32_t(body.size()), &root);
        return PlistPtr(root);
    }
    // Editors may save a UTF-8 byte-order mark, at which the library's XML
    // parser stops; the text that follows is read as without it.
    const QByteArray xml = body.startsWith(kUtf8ByteOrderMark) ? body.sliced(kUtf8ByteOrderMarkSize) : body;
    if (!xml.isEmpty() && xmlShapeAcceptable(xml))
        plist_from_xml(xml.constData(), std::uint32_t(xml.size()), &root);
    return PlistPtr(root);
}

std::optional<QString> textOf(plist_t node)
{
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    std::uint64_t length = 0;
    const char* bytes = plist_get_string_ptr(node, &length);
    if (!bytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(QByteArrayView(bytes, qsizetype(length)));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

std::optional<std::vector<ManifestEntry>> readManifest(const QByteArray& body)
{
    const PlistPtr root = parse(body);
    if (!root || plist_get_node_type(root.get()) != PLIST_ARRAY)
        return std::nullopt;
    std::vector<ManifestEntry> entries;
    const std::uint32_t count = plist_array_get_size(root.get());
    entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const plist_t item = plist_array_get_item(root.get(), i);
        ManifestEntry& entry = entries.emplace_back();
        if (plist_get_node_type(item) != PLIST_DICT)
            continue;
        entry.appName = textOf(plist_dict_get_item(item, "AppName"));
        entry.version = textOf(plist_dict_get_item(item, "Version"));
        entry.url = textOf(plist_dict_get_item(item, "URL"));
    }
    return entries;
}

} // namespace strataloom
