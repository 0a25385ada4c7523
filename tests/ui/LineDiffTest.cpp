#include "LineDiff.h"

#include <gtest/gtest.h>

using namespace strataloom;

namespace {

// A diff written as its lines, each marked " ", "-" or "+".
QStringList marked(const std::vector<DiffLine>& diff)
{
    QStringList lines;
    for (const DiffLine& line : diff)
        lines.append(QLatin1String(line.kind == DiffLine::Kind::Same      ? " "
                                   : line.kind == DiffLine::Kind::Removed ? "-"
                                                                          : "+")
                     + line.text);
    return lines;
}

QStringList split(const char* text)
{
    return QString::fromUtf8(text).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

} // namespace

TEST(LineDiff, KeepsTheMostLinesInCommonAndPutsRemovedLinesBeforeAddedOnes)
{
    const struct {
        const char* before;
        const char* after;
        const char* diff;
    } cases[] = {
        {"", "", ""},
        {"a,b", "a,b", " a, b"},
        {"", "a,b", "+a,+b"},
        {"a,b", "", "-a,-b"},
        {"a,b,c", "a,x,c", " a,-b,+x, c"},
        {"a,b,c,d", "b,d,e", "-a, b,-c, d,+e"},
        // Two changes apart, each with its removals first.
        {"1,a,2,b,3", "1,x,2,y,3", " 1,-a,+x, 2,-b,+y, 3"},
        // A moved line: kept where most lines stay in common.
        {"m,a,b,c", "a,b,c,m", "-m, a, b, c,+m"},
        // Repeated lines are matched one for one.
        {"x,x,x", "x,x", " x, x,-x"},
        {"a,b,a,b", "b,a,b,a", "-a, b, a, b,+a"},
    };
    for (const auto& c : cases) {
        const auto diff = diffLines(split(c.before), split(c.after));
        ASSERT_TRUE(diff) << c.before << " -> " << c.after;
        EXPECT_EQ(marked(*diff), split(c.diff)) << c.before << " -> " << c.after;
    }
}

TEST(LineDiff, TooManyDifferingLinesAreNotCompared)
{
    QStringList before, after;
    for (int i = 0; i < 3000; ++i) {
        before.append(QStringLiteral("old %1").arg(i));
        after.append(QStringLiteral("new %1").arg(i));
    }
    EXPECT_FALSE(diffLines(before, after));
    // The same change amid many common lines is compared: only the middle counts.
    QStringList common;
    for (int i = 0; i < 100'000; ++i)
        common.append(QString::number(i));
    QStringList edited = common;
    edited[50'000] = QStringLiteral("changed");
    const auto diff = diffLines(common, edited);
    ASSERT_TRUE(diff);
    EXPECT_EQ(diff->size(), 100'001u);
    EXPECT_EQ((*diff)[50'000], (DiffLine{DiffLine::Kind::Removed, QStringLiteral("50000")}));
    EXPECT_EQ((*diff)[50'001], (DiffLine{DiffLine::Kind::Added, QStringLiteral("changed")}));
}
