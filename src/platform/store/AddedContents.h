#pragma once

#include "StoreIndex.h"
#include "StoredRecords.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// What the contents of a version being added become: a record already stored
// with the same bytes (identical contents are stored once), else the verified
// copy as a record of its own. docs/STORE.md, "Adding a version".
namespace strataloom::store {

// The stored record whose contents are byte for byte those of `copyFd` (whose
// checksum and size are given), the cheapest to read first; empty when there
// is none or it cannot be told. Checksums only choose the candidates: they
// are not collision resistant, and another user who can write a shared
// folder must not make a version resolve to other bytes. A whole record
// whose extents the copy shares (a clone of contents stored already) is
// identical without a read; else `buffer` (of `bufferSize` bytes) is used for
// the comparison.
std::optional<StoredRecord> findIdenticalRecord(StoreIndex& index, int copyFd, const std::string& checksum,
                                                std::uint64_t size, char* buffer, std::size_t bufferSize);

// The record of the document's newest version when it is a whole file of
// `size` bytes: what a copy of the document holds again when the document is
// unchanged, which a clone tells without reading (see copyVerified). Empty
// when there is none or it cannot be read.
std::optional<StoredRecord> newestWholeRecord(StoreIndex& index, std::int64_t documentRowId, std::uint64_t size);

} // namespace strataloom::store
