#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace strataloom::cli {

// The version numbers given after the file, as `versions` prints them
// ("00002" or "2"), each once, in the order given; empty, with the offending
// word in `bad`, when one is not a number.
std::optional<std::vector<std::size_t>> versionIndexes(const std::vector<std::string>& words, std::string& bad);

} // namespace strataloom::cli
