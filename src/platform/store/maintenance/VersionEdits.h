#pragma once

#include "FileVersion.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The user's own changes to single versions of a document, which they pick by
// the numbers `versions` lists them under: keeping them from thinning, or
// removing them.
namespace strataloom {

// Pins the versions, or unpins them with `pinned` false.
bool setVersionsPinned(const std::string& storeLocation, const std::string& documentPath,
                       const std::vector<std::size_t>& indexes, bool pinned, std::string* error = nullptr);

// Removes the versions (with `dryRun`, only finds them); returns them as they
// were listed. Empty, with the reason in `error`, when a number names no
// stored version or the removal fails.
std::optional<std::vector<FileVersion>> deleteVersions(const std::string& storeLocation,
                                                       const std::string& documentPath,
                                                       const std::vector<std::size_t>& indexes, bool dryRun,
                                                       std::string* error = nullptr);

} // namespace strataloom
