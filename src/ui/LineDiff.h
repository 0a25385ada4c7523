#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <optional>
#include <vector>

namespace strataloom {

// One line of a line diff from `before` to `after`.
struct DiffLine {
    enum class Kind { Same, Removed, Added };
    Kind kind = Kind::Same;
    QString text;
    bool operator==(const DiffLine&) const = default;
};

// The most lines whose comparison a diff takes on, once the lines both texts
// begin and end with are set aside: the comparison needs a table of this many
// cells.
inline constexpr std::size_t kMaximumDiffCells = 4'000'000;

// The lines of `before` and `after` in order, each marked as in both, only in
// `before` (removed) or only in `after` (added), keeping as many lines in
// common as possible (longest common subsequence); at each change the removed
// lines come before the added ones. Empty when the texts differ in too many
// lines to compare (see kMaximumDiffCells).
std::optional<std::vector<DiffLine>> diffLines(const QStringList& before, const QStringList& after);

} // namespace strataloom
