#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Little-endian fields, as zip archives and canonical forms lay them out.
namespace strataloom::store::zip {

// The `width`-byte field at `offset`; the caller has checked the bounds.
inline std::uint64_t readLittle(std::string_view bytes, std::uint64_t offset, int width)
{
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

inline void appendLittle(std::string& out, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// Reads fields of a region whose every length comes from a file that may lie:
// a read past the end sets failed() and gives 0, never touching other memory.
class FieldReader {
public:
    FieldReader(std::string_view bytes, std::uint64_t offset)
        : m_bytes(bytes)
        , m_offset(offset)
    {
    }

    std::uint64_t take(int width)
    {
        if (!has(static_cast<std::uint64_t>(width))) {
            m_failed = true;
            return 0;
        }
        const std::uint64_t value = readLittle(m_bytes, m_offset, width);
        m_offset += width;
        return value;
    }
    std::string_view takeBytes(std::uint64_t size)
    {
        if (!has(size)) {
            m_failed = true;
            return {};
        }
        const std::string_view value = m_bytes.substr(m_offset, size);
        m_offset += size;
        return value;
    }
    bool has(std::uint64_t size) const
    {
        return !m_failed && m_offset <= m_bytes.size() && size <= m_bytes.size() - m_offset;
    }
    std::uint64_t offset() const { return m_offset; }
    bool failed() const { return m_failed; }

private:
    std::string_view m_bytes;
    std::uint64_t m_offset;
    bool m_failed = false;
};

} // namespace strataloom::store::zip
