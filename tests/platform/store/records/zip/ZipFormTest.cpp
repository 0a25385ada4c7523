#include "CanonicalForm.h"
#include "FormLayout.h"
#include "ZipBuilder.h"
#include "ZipLayout.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace strataloom::store::zip;
using strataloom::test::buildZip;
using strataloom::test::deflatedEntry;
using strataloom::test::foreignEntry;
using strataloom::test::literalOnlyDeflate;
using strataloom::test::storedEntry;
using strataloom::test::withDescriptor;
using strataloom::test::withZip64;
using strataloom::test::ZipEntry;
using strataloom::test::ZipOptions;

// Text that deflates well but not trivially, like the XML inside documents.
std::string text(std::size_t size, unsigned seed = 1)
{
    static const char* const words[] = {"<text:p>", "alpha", "beta", "gamma", "</text:p>", "delta", " ", "\n"};
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < size)
        out += words[random() % 8];
    out.resize(size);
    return out;
}

std::size_t rebuiltCount(const std::vector<MemberOutcome>& outcomes)
{
    std::size_t count = 0;
    for (const MemberOutcome& outcome : outcomes)
        count += outcome.params.has_value();
    return count;
}

struct ArchiveCase {
    const char* what;
    std::vector<ZipEntry> entries;
    ZipOptions options;
    std::size_t rebuilt; // deflated members expected to be rebuilt
    std::size_t deflated; // deflated members
};

std::vector<ArchiveCase> archiveCases()
{
    const DeflateParams blocks{6, 8, 15, 0, kOfficeBlockSize};
    ZipEntry commented = deflatedEntry("a.xml", text(2000));
    commented.extra = std::string("\x55\x54\x05\x00\x01\x12\x34\x56\x78", 9);
    commented.comment = "member comment";
    std::vector<ArchiveCase> cases;
    cases.push_back({"stored mimetype first, as documents have",
                     {storedEntry("mimetype", "application/x-test"), deflatedEntry("content.xml", text(5000)),
                      deflatedEntry("styles.xml", text(3000, 2))},
                     {},
                     2,
                     2});
    cases.push_back(
        {"data descriptors",
         {withDescriptor(deflatedEntry("a.xml", text(4000))), withDescriptor(deflatedEntry("b.xml", text(100, 3)))},
         {},
         2,
         2});
    cases.push_back(
        {"zip64 entries and directory",
         {withZip64(deflatedEntry("big.xml", text(70000))), withZip64(withDescriptor(storedEntry("s.txt", "stored")))},
         {"", true},
         1,
         1});
    cases.push_back({"comments and extra fields", {commented}, {"archive comment", false}, 1, 1});
    cases.push_back(
        {"levels, memory and strategies",
         {deflatedEntry("1", text(9000), {1, 8, 15, 0, 0}), deflatedEntry("9", text(9000), {9, 9, 15, 0, 0}),
          deflatedEntry("filtered", text(9000), {6, 8, 15, 1, 0}),
          deflatedEntry("huffman", text(9000), {6, 8, 15, 2, 0}), deflatedEntry("rle", text(9000), {6, 8, 15, 3, 0})},
         {},
         5,
         5});
    // Block edges: one byte over a block, exactly two blocks, several.
    cases.push_back({"office blocks",
                     {deflatedEntry("a", text(kOfficeBlockSize + 1), blocks),
                      deflatedEntry("b", text(2 * kOfficeBlockSize, 4), blocks),
                      deflatedEntry("c", text(5 * kOfficeBlockSize + 777, 5), blocks)},
                     {},
                     3,
                     3});
    cases.push_back(
        {"an empty deflated member", {deflatedEntry("empty", ""), deflatedEntry("a.xml", text(500))}, {}, 2, 2});
    cases.push_back({"a member deflated by another writer stays deflated",
                     {foreignEntry("foreign", literalOnlyDeflate(text(6000, 6))), deflatedEntry("a.xml", text(6000))},
                     {},
                     1,
                     2});
    // Past the search's budget, members still get their first try.
    std::vector<ZipEntry> many;
    for (int i = 0; i < 120; ++i)
        many.push_back(foreignEntry(std::string("f").append(std::to_string(i)), literalOnlyDeflate(text(2000, i))));
    many.push_back(deflatedEntry("last.xml", text(3000)));
    cases.push_back({"many members nothing rebuilds, then one", many, {}, 1, 121});
    return cases;
}

TEST(ZipFormTest, archivesRebuildByteForByte)
{
    for (const ArchiveCase& archive : archiveCases()) {
        SCOPED_TRACE(archive.what);
        const std::string zip = buildZip(archive.entries, archive.options);
        std::string error;
        std::vector<MemberOutcome> outcomes;
        const auto form = canonicalForm(zip, &error, &outcomes);
        ASSERT_TRUE(form) << error;
        EXPECT_EQ(outcomes.size(), archive.deflated);
        EXPECT_EQ(rebuiltCount(outcomes), archive.rebuilt);
        const auto rebuilt = rebuild(*form, &error);
        ASSERT_TRUE(rebuilt) << error;
        EXPECT_TRUE(*rebuilt == zip);
        const auto summary = readFormSummary(*form);
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->zipSize, zip.size());
    }
}

TEST(ZipFormTest, formsOfNeighbouringVersionsShareTheirContents)
{
    // A small edit at the start changes most deflated bytes, but only a few
    // bytes of the inflated contents.
    const std::string before = text(60000);
    const std::string after = "x" + before;
    const auto a = canonicalForm(buildZip({deflatedEntry("content.xml", before)}));
    const auto b = canonicalForm(buildZip({deflatedEntry("content.xml", after)}));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->find(before), std::string::npos);
    EXPECT_NE(b->find(after), std::string::npos);
}

TEST(ZipFormTest, archivesWithoutAFormAreLeftAlone)
{
    const std::string foreign = literalOnlyDeflate(text(3000));
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"not a zip", "plain text, long enough to be read as an archive if we were careless about it"},
        {"empty", ""},
        {"only stored members", buildZip({storedEntry("a", "stored")})},
        {"only foreign members", buildZip({foreignEntry("f", foreign)})},
        {"an encrypted member",
         [] {
             std::string zip = buildZip({deflatedEntry("a", text(1000))});
             zip[6] = 1; // local header flags
             zip[zip.find("PK\1\2") + 8] = 1; // directory flags
             return zip;
         }()},
    };
    for (const auto& archive : cases) {
        SCOPED_TRACE(archive.what);
        std::string error;
        EXPECT_FALSE(canonicalForm(archive.bytes, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(ZipFormTest, membersInflatingBeyondTheLimitStayDeflated)
{
    const std::string zip =
        buildZip({deflatedEntry("bomb", std::string(4 << 20, '\0')), deflatedEntry("a.xml", text(2000))});
    std::vector<MemberOutcome> outcomes;
    const auto form = canonicalForm(zip, nullptr, &outcomes, 1 << 20);
    ASSERT_TRUE(form);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_FALSE(outcomes[0].params);
    EXPECT_TRUE(outcomes[1].params);
    EXPECT_LE(form->size(), 1u << 20);
    EXPECT_TRUE(rebuild(*form) == zip);
}

// Whatever a damaged archive says, reading it neither crashes nor reads out of
// bounds (the sanitizer build watches), and a form, when one comes out,
// rebuilds the damaged archive itself.
TEST(ZipFormTest, damagedArchivesNeverYieldAWrongForm)
{
    const std::string zip =
        buildZip({storedEntry("mimetype", "x"), withZip64(withDescriptor(deflatedEntry("a.xml", text(3000)))),
                  deflatedEntry("b.xml", text(800, 2))},
                 {"comment", true});
    const auto check = [](const std::string& bytes) {
        const auto form = canonicalForm(bytes);
        if (form) {
            EXPECT_TRUE(rebuild(*form) == bytes);
        }
    };
    for (std::size_t size = 0; size < zip.size(); size += 7)
        check(zip.substr(0, size));
    std::mt19937 random(20);
    for (int i = 0; i < 3000; ++i) {
        std::string bytes = zip;
        // Mostly the headers and the directory, where lengths live.
        const std::size_t at = random() % 2 ? zip.size() - 1 - random() % 300 : random() % zip.size();
        bytes[at] = static_cast<char>(random() % 3 == 0 ? 0xff : bytes[at] ^ (1 << (random() % 8)));
        check(bytes);
    }
}

TEST(ZipFormTest, hostileLengthsAreRefused)
{
    const std::string zip = buildZip({deflatedEntry("a.xml", text(1000))});
    const std::size_t central = zip.find("PK\1\2");
    const std::size_t end = zip.find("PK\5\6");
    const auto patched = [&](std::size_t at, std::string bytes) {
        std::string copy = zip;
        copy.replace(at, bytes.size(), bytes);
        return copy;
    };
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"entry count beyond the directory", patched(end + 8, "\xff\xff\xff\xff")},
        {"directory offset beyond the file", patched(end + 16, "\xff\xff\xff\x7f")},
        {"name length beyond the directory", patched(central + 28, "\xff\xff")},
        {"local header offset beyond the file", patched(central + 42, "\xff\xff\xff\x7f")},
        {"compressed size beyond the directory", patched(central + 20, "\xff\xff\xff\x7f")},
        {"comment length past the end", patched(end + 20, "\x10\x00")},
        {"zip64 sizes without a zip64 field", patched(central + 20, "\xff\xff\xff\xff")},
        {"zip64 directory without a locator", patched(end + 16, "\xff\xff\xff\xff")},
    };
    for (const auto& archive : cases) {
        SCOPED_TRACE(archive.what);
        std::string error;
        EXPECT_FALSE(readZipLayout(archive.bytes, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(ZipFormTest, aDamagedFormNeverRebuilds)
{
    const std::string zip = buildZip({storedEntry("mimetype", "x"), deflatedEntry("a.xml", text(1500))}, {"c", false});
    const auto form = canonicalForm(zip);
    ASSERT_TRUE(form);
    for (std::size_t at = 0; at < form->size(); ++at) {
        for (const unsigned char flip : {0x01, 0x80}) {
            std::string damaged = *form;
            damaged[at] = static_cast<char>(damaged[at] ^ flip);
            std::string error;
            ASSERT_FALSE(rebuild(damaged, &error)) << "byte " << at;
            EXPECT_FALSE(error.empty());
        }
    }
    for (std::size_t size = 0; size < form->size(); size += 11)
        EXPECT_FALSE(rebuild(form->substr(0, size)));
    EXPECT_FALSE(rebuild(*form + "x"));
}

// As if another deflater ran: the form is intact, but what it deflates to is
// not the archive; the archive's checksum catches it.
TEST(ZipFormTest, aFormThatDeflatesDifferentlyNeverRebuilds)
{
    const std::string zip = buildZip({deflatedEntry("a.xml", text(20000)), deflatedEntry("b.xml", text(20000, 2))});
    const auto form = canonicalForm(zip);
    ASSERT_TRUE(form);
    auto parsed = parseForm(*form);
    ASSERT_TRUE(parsed);
    for (const std::size_t member : {0u, 1u}) {
        SCOPED_TRACE(member);
        auto members = parsed->members;
        members[member].params.level = 1;
        const std::string other =
            encodeForm(parsed->zipSize, parsed->zipChecksum, members, parsed->skeleton, parsed->data);
        std::string error;
        EXPECT_FALSE(rebuild(other, &error));
        EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    }
}

TEST(ZipFormTest, aFormOfAnotherVersionIsRefusedByName)
{
    auto form = canonicalForm(buildZip({deflatedEntry("a.xml", text(500))}));
    ASSERT_TRUE(form);
    (*form)[8] = 2;
    std::string error;
    EXPECT_FALSE(rebuild(*form, &error));
    EXPECT_NE(error.find("version 2"), std::string::npos) << error;
}

} // namespace
