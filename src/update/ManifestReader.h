#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace strataloom {

// The largest manifest that is fetched and read. A real one lists a few
// applications in a few kilobytes; the bound keeps a hostile server from
// filling memory.
inline constexpr qint64 kMaxManifestBytes = 4 * 1024 * 1024;
// The most bytes of strings and data a manifest may expand to, every reference
// counted. Without shared objects a manifest holds no more than its body; four
// times the largest body passes any honest one, yet keeps a string referenced
// many times in the binary form from turning a small body into gigabytes.
inline constexpr qint64 kMaxManifestExpandedBytes = 4 * kMaxManifestBytes;

// One element of the manifest's root array. A field is absent when the key is
// missing, its value is not a string, or the string is not valid UTF-8; an
// element that is not a dictionary has every field absent.
struct ManifestEntry {
    std::optional<QString> appName;
    std::optional<QString> version;
    std::optional<QString> url;
};

// Reads an update manifest in the XML or the binary property-list form; the
// XML form may begin with a UTF-8 byte-order mark. Gives nothing when `body` is
// no property list, when its root is not an array, or when it is larger, deeper
// or (through shared references in the binary form) expands to more nodes or
// bytes than any manifest needs: the reader would otherwise exhaust the stack
// or memory on such input.
std::optional<std::vector<ManifestEntry>> readManifest(const QByteArray& body);

} // namespace strataloom
