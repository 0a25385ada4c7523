#include "VersionIndexes.h"

#include <algorithm>
#include <charconv>

namespace strataloom::cli {

std::optional<std::vector<std::size_t>> versionIndexes(const std::vector<std::string>& words, std::string& bad)
{
    std::vector<std::size_t> indexes;
    for (const std::string& word : words) {
        std::size_t index = 0;
        const auto [end, failure] = std::from_chars(word.data(), word.data() + word.size(), index);
        if (word.empty() || failure != std::errc() || end != word.data() + word.size()) {
            bad = word;
            return std::nullopt;
        }
        if (std::find(indexes.begin(), indexes.end(), index) == indexes.end())
            indexes.push_back(index);
    }
    return indexes;
}

} // namespace strataloom::cli
