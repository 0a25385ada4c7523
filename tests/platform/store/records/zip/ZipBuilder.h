#pragma once

#include "RawDeflate.h"

#include <optional>
#include <string>
#include <vector>

// Writes zip archives for tests, with the variations real writers produce.
namespace strataloom::test {

struct ZipEntry {
    std::string name;
    std::string contents;
    // Deflated with these, or stored when none.
    std::optional<store::zip::DeflateParams> deflate = store::zip::DeflateParams{};
    // Deflated bytes made elsewhere, used as they are (method 8).
    std::optional<std::string> foreignDeflated;
    bool dataDescriptor = false;
    bool zip64 = false; // zip64 extra fields in both headers, sizes all ones
    std::string extra; // further extra fields, in both headers
    std::string comment;
};

ZipEntry deflatedEntry(std::string name, std::string contents, store::zip::DeflateParams params = {});
ZipEntry storedEntry(std::string name, std::string contents);
ZipEntry foreignEntry(std::string name, std::string deflated);
// The same entry with its sizes in a data descriptor, or in zip64 fields.
ZipEntry withDescriptor(ZipEntry entry);
ZipEntry withZip64(ZipEntry entry);

struct ZipOptions {
    std::string comment;
    bool zip64Directory = false; // zip64 end record and locator
};

std::string buildZip(const std::vector<ZipEntry>& entries, const ZipOptions& options = {});

// A valid raw deflate stream that no zlib setting produces: one block of fixed
// Huffman codes holding every byte as a literal, as a simple writer might.
std::string literalOnlyDeflate(const std::string& contents);

} // namespace strataloom::test
