#include "platform/Names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace strataloom;

namespace {

const std::string kPrecomposed = "caf\xC3\xA9";   // café with U+00E9
const std::string kDecomposed = "cafe\xCC\x81";   // café with e + U+0301

std::vector<std::string> sorted(std::vector<std::string> names)
{
    sortNames(names);
    return names;
}

} // namespace

TEST(Names, OrderIsByCodePointWithoutCaseLocaleOrNumbers)
{
    EXPECT_EQ(sorted({"abcd", "alpha", "File2", "abc", "Zeta", "File10", "\xC3\xA9t\xC3\xA9", "zebra"}),
              (std::vector<std::string>{"File10", "File2", "Zeta", "abc", "abcd", "alpha", "zebra",
                                        "\xC3\xA9t\xC3\xA9"}));
    // UTF-16 units would put U+1F600 (a surrogate pair from D83D) before U+FF5E.
    const std::string fullwidthTilde = "\xEF\xBD\x9E", grinning = "\xF0\x9F\x98\x80";
    EXPECT_EQ(sorted({grinning, fullwidthTilde}), (std::vector<std::string>{fullwidthTilde, grinning}));
}

TEST(Names, CanonicallyEquivalentNamesAreEqualAndKeepTheirOrder)
{
    EXPECT_EQ(compareNames(kPrecomposed, kDecomposed), std::strong_ordering::equal);
    EXPECT_EQ(sorted({"cafez", kDecomposed, "cafa", kPrecomposed}),
              (std::vector<std::string>{"cafa", "cafez", kDecomposed, kPrecomposed}));
    EXPECT_EQ(sorted({kPrecomposed, "cafez", kDecomposed}),
              (std::vector<std::string>{"cafez", kPrecomposed, kDecomposed}));
    // A leading byte order mark is part of the name, not something to drop.
    EXPECT_NE(compareNames("\xEF\xBB\xBF" "abc", "abc"), std::strong_ordering::equal);
}

TEST(Names, NamesThatAreNotUtf8SortConsistentlyAndStayIntact)
{
    std::vector<std::string> names = {"a\xFF", "a\xC3\xA9", "a", "\xE9t\xE9", "b\xC0\xAF", kDecomposed,
                                      "a\xED\xA0\x80", "A\xFF\xFE", "a\xFF"};
    const std::vector<std::string> first = sorted(names);
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(names.begin(), names.end(), random);
        std::vector<std::string> again = sorted(names);
        EXPECT_EQ(again, first);
    }
    std::vector<std::string> expectedBytes = names;
    std::sort(expectedBytes.begin(), expectedBytes.end());
    std::vector<std::string> sortedBytes = first;
    std::sort(sortedBytes.begin(), sortedBytes.end());
    EXPECT_EQ(sortedBytes, expectedBytes);
    // Raw bytes order an invalid name among valid ones; so do overlong forms,
    // surrogates and values above U+10FFFF, which are not UTF-8 either.
    EXPECT_EQ(compareNames("a\xFF", "a\xC3\xA9"), std::strong_ordering::greater);
    EXPECT_EQ(nameSortKey("\xED\xA0\x80" "e\xCC\x81"), "\xED\xA0\x80" "e\xCC\x81");
    EXPECT_EQ(nameSortKey("\xC0\xAF" "e\xCC\x81"), "\xC0\xAF" "e\xCC\x81");
    EXPECT_EQ(nameSortKey("\xF4\x90\x80\x80" "e\xCC\x81"), "\xF4\x90\x80\x80" "e\xCC\x81");
}

TEST(Names, CharactersAreGraphemeClusters)
{
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    const std::string flags = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";  // FR DE
    // Flags right after an emoji, and CR LF, are one character each.
    EXPECT_EQ(characterCount(family + flags + "\r\n"), 4u);
    EXPECT_EQ(droppingLastCharacters("abc", 3), "");
    // Each byte outside valid UTF-8 is a character; clusters do not reach across it.
    EXPECT_EQ(characterCount("ab\xFF\xFE" "cd"), 6u);
    EXPECT_EQ(droppingLastCharacters("ab\xFF\xFE" "cd", 5), "a");
    EXPECT_EQ(droppingLastCharacters("x\xE9\xCC\x81" "12345", 5), "x\xE9\xCC\x81");
}
