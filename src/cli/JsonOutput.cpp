#include "JsonOutput.h"

#include <cstdint>
#include <cstdio>

namespace strataloom::cli {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `bytes`, or 0.
std::size_t sequenceLength(std::string_view bytes)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xbf; // allowed range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0; // no overlong forms
        else if (lead == 0xed)
            high = 0x9f; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return length;
}

std::string jsonNumberOrNull(const std::optional<std::uint64_t>& value)
{
    return value ? std::to_string(*value) : "null";
}

std::string versionObject(std::size_t index, const FileVersion& version)
{
    const auto& dates = version.dates();
    const std::string path = version.URL().path();
    std::string object = "{\"index\": " + std::to_string(index);
    object += ", \"modificationDate\": " + (dates ? jsonString(dates->modification.toIso8601()) : "null");
    object += ", \"creationDate\": " + (dates ? jsonString(dates->creation.toIso8601()) : "null");
    object += ", \"size\": " + jsonNumberOrNull(version.size());
    object += std::string(", \"local\": ") + (version.hasLocalContents() ? "true" : "false");
    object += ", \"path\": " + jsonString(path);
    if (!isValidUtf8(path))
        object += ", \"pathBytes\": \"" + base64(path) + "\"";
    return object + "}";
}

} // namespace

bool isValidUtf8(std::string_view bytes)
{
    while (!bytes.empty()) {
        const std::size_t length = sequenceLength(bytes);
        if (length == 0)
            return false;
        bytes.remove_prefix(length);
    }
    return true;
}

std::string jsonString(std::string_view bytes)
{
    std::string out = "\"";
    while (!bytes.empty()) {
        const std::size_t length = sequenceLength(bytes);
        const unsigned char c = static_cast<unsigned char>(bytes[0]);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            bytes.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(bytes.substr(0, length));
        }
        bytes.remove_prefix(length);
    }
    return out + "\"";
}

std::string base64(std::string_view bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16
                                  | static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8
                                  | static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[group >> 18];
        out += alphabet[(group >> 12) & 63];
        out += alphabet[(group >> 6) & 63];
        out += alphabet[group & 63];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const std::uint32_t group =
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16
            | (two ? static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 : 0u);
        out += alphabet[group >> 18];
        out += alphabet[(group >> 12) & 63];
        out += two ? alphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string versionsJson(const std::vector<FileVersion>& others, const FileVersion& current)
{
    std::string json = "[\n";
    for (std::size_t i = 0; i < others.size(); ++i)
        json += "  " + versionObject(i, others[i]) + ",\n";
    json += "  " + versionObject(others.size(), current) + "\n]\n";
    return json;
}

} // namespace strataloom::cli
