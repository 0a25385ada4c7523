// Bytes as text: hex and base64, as the store's logs write them.
#include "TextEncoding.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace strataloom::store {

std::string hex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

std::optional<std::string> unhex(std::string_view text)
{
    if (text.size() % 2)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        const auto [end, failure] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (failure != std::errc() || end != text.data() + i + 2)
            return std::nullopt;
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}

namespace {

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string base64(std::string_view bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (left > 1)
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (left > 2)
            group |= static_cast<unsigned char>(bytes[i + 2]);
        for (std::size_t digit = 0; digit < 4; ++digit)
            text.push_back(digit <= left ? kBase64Digits[(group >> (18 - 6 * digit)) & 63] : '=');
    }
    return text;
}

std::optional<std::string> unbase64(std::string_view text)
{
    if (text.size() % 4)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        std::size_t padding = 0;
        for (std::size_t digit = 0; digit < 4; ++digit) {
            const char c = text[i + digit];
            const char* found = c == '=' ? nullptr : std::strchr(kBase64Digits, c);
            // Padding only at the very end, at most two digits of it.
            if (c == '=' && (i + 4 != text.size() || digit < 2))
                return std::nullopt;
            if (c == '=')
                ++padding;
            else if (!found || c == '\0' || padding)
                return std::nullopt;
            group = (group << 6) | (found ? static_cast<std::uint32_t>(found - kBase64Digits) : 0);
        }
        bytes.push_back(static_cast<char>(group >> 16));
        if (padding < 2)
            bytes.push_back(static_cast<char>(group >> 8));
        if (padding < 1)
            bytes.push_back(static_cast<char>(group));
    }
    return bytes;
}

} // namespace strataloom::store
