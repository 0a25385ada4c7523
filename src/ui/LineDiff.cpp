#include "LineDiff.h"

#include <algorithm>
#include <cstdint>

namespace strataloom {

std::optional<std::vector<DiffLine>> diffLines(const QStringList& before, const QStringList& after)
{
    // Lines both texts begin or end with are the same whatever lies between,
    // which keeps the table small for the usual edit in one place.
    qsizetype prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix
           && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const auto n = static_cast<std::size_t>(before.size() - prefix - suffix);
    const auto m = static_cast<std::size_t>(after.size() - prefix - suffix);
    if (n != 0 && m != 0 && (n + 1) * (m + 1) > kMaximumDiffCells)
        return std::nullopt;

    // common[i][j]: the longest common subsequence of the middle lines of
    // `before` from i and of `after` from j.
    const std::size_t width = m + 1;
    std::vector<std::uint32_t> common((n + 1) * width, 0);
    const auto b = [&](std::size_t i) -> const QString& { return before[prefix + static_cast<qsizetype>(i)]; };
    const auto a = [&](std::size_t j) -> const QString& { return after[prefix + static_cast<qsizetype>(j)]; };
    for (std::size_t i = n; i-- > 0;)
        for (std::size_t j = m; j-- > 0;)
            common[i * width + j] = b(i) == a(j) ? common[(i + 1) * width + j + 1] + 1
                                                 : std::max(common[(i + 1) * width + j], common[i * width + j + 1]);

    std::vector<DiffLine> lines;
    lines.reserve(static_cast<std::size_t>(prefix + suffix) + n + m);
    for (qsizetype k = 0; k < prefix; ++k)
        lines.push_back({DiffLine::Kind::Same, before[k]});
    std::size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && b(i) == a(j)) {
            lines.push_back({DiffLine::Kind::Same, b(i)});
            ++i;
            ++j;
        } else if (i < n && (j == m || common[(i + 1) * width + j] >= common[i * width + j + 1])) {
            lines.push_back({DiffLine::Kind::Removed, b(i++)});
        } else {
            lines.push_back({DiffLine::Kind::Added, a(j++)});
        }
    }
    for (qsizetype k = before.size() - suffix; k < before.size(); ++k)
        lines.push_back({DiffLine::Kind::Same, before[k]});
    return lines;
}

} // namespace strataloom
