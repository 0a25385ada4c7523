#include "RecordCodec.h"
#include "ContentHash.h"
#include "FileDescriptor.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace strataloom;
using namespace strataloom::store;

namespace {

constexpr const char* kBaseName = "0123456789abcdef0123456789abcdef";

std::uint64_t nextRandom(std::uint64_t& state)
{
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
}

// Words from a small vocabulary: compresses like prose.
std::string text(std::size_t size, std::uint64_t seed)
{
    static const char* const words[] = {"the ", "version ", "store ",   "keeps ", "every ",  "saved ", "document\n",
                                        "and ", "its ",     "history ", "of ",    "edits, ", "one ",   "delta "};
    std::string out;
    while (out.size() < size)
        out += words[nextRandom(seed) % std::size(words)];
    out.resize(size);
    return out;
}

// Bytes that do not compress.
std::string noise(std::size_t size, std::uint64_t seed)
{
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(nextRandom(seed));
    return out;
}

// A newer text: a few words changed, a paragraph inserted, one removed.
std::string edited(std::string contents)
{
    contents.replace(contents.size() / 3, 40, text(60, 7));
    contents.insert(contents.size() / 2, text(900, 8));
    contents.erase(contents.size() * 3 / 4, 500);
    return contents;
}

// An anonymous regular file holding `bytes`.
UniqueFd memoryFile(const std::string& bytes)
{
    UniqueFd fd(memfd_create("contents", MFD_CLOEXEC));
    EXPECT_TRUE(fd.valid());
    EXPECT_EQ(pwrite(fd.get(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    return fd;
}

std::string wholeFile(int fd)
{
    std::string out;
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
        if (got <= 0)
            return out;
        out.append(buffer, std::size_t(got));
        offset += got;
    }
}

std::string checksumOf(const std::string& bytes)
{
    Checksum checksum;
    checksum.update(bytes.data(), bytes.size());
    return *checksum.finish();
}

// Encodes `contents` into a string, as a delta when `base` is given.
std::string encoded(const std::string& contents, const std::optional<std::string>& base, EncodeOptions options = {})
{
    UniqueFd contentsFd = memoryFile(contents);
    UniqueFd baseFd = memoryFile(base.value_or(""));
    const DeltaBase delta{kBaseName, {baseFd.get(), base.value_or("").size(), {}}};
    std::string record;
    std::string error;
    const auto result =
        encodeRecord({contentsFd.get(), contents.size(), {}}, base ? &delta : nullptr, record, options, &error);
    EXPECT_TRUE(result && result->length) << error;
    return record;
}

// Decodes `record` from memory and from a file; the result, when both agree.
std::optional<std::string> decoded(const std::string& record, const std::optional<std::string>& base,
                                   std::string* error, const RecordExpectations& expected = {})
{
    UniqueFd baseFd = base ? memoryFile(*base) : UniqueFd();
    UniqueFd recordFd = memoryFile(record);
    UniqueFd fromBytes(memfd_create("out", MFD_CLOEXEC));
    UniqueFd fromFile(memfd_create("out", MFD_CLOEXEC));
    std::string fileError;
    const auto viaBytes = decodeRecord(record, baseFd.get(), fromBytes.get(), expected, error);
    const auto viaFile = decodeRecord(recordFd.get(), baseFd.get(), fromFile.get(), expected, &fileError);
    EXPECT_EQ(bool(viaBytes), bool(viaFile)) << fileError;
    EXPECT_EQ(*error, fileError);
    if (!viaBytes || !viaFile)
        return std::nullopt;
    EXPECT_EQ(wholeFile(fromBytes.get()), wholeFile(fromFile.get()));
    return wholeFile(fromFile.get());
}

} // namespace

// Both kinds, written to a file (from its position) or a string (the same
// bytes), read back from a file or from memory; empty contents and an empty
// base; contents spanning many pieces of input and output.
TEST(RecordCodec, RoundTripsEveryKindAndSize)
{
    const std::string prose = text(80000, 1);
    const struct {
        const char* name;
        std::string contents;
        std::optional<std::string> base;
    } cases[] = {
        {"compressed text", prose, std::nullopt},
        {"compressed empty", "", std::nullopt},
        {"compressed, many pieces", text(700000, 2) + noise(300000, 3), std::nullopt},
        {"delta of an older text", prose, edited(prose)},
        {"delta of empty contents", "", prose},
        {"delta against an empty base", prose, std::string()},
        {"delta, many pieces", noise(600000, 4) + prose, prose + noise(600000, 4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string record = encoded(c.contents, c.base);
        UniqueFd contentsFd = memoryFile(c.contents);
        UniqueFd baseFd = memoryFile(c.base.value_or(""));
        UniqueFd recordFd(memfd_create("record", MFD_CLOEXEC));
        const DeltaBase base{kBaseName, {baseFd.get(), c.base.value_or("").size(), checksumOf(c.base.value_or(""))}};
        const auto written = encodeRecord({contentsFd.get(), c.contents.size(), checksumOf(c.contents)},
                                          c.base ? &base : nullptr, recordFd.get());
        ASSERT_TRUE(written && written->length);
        EXPECT_EQ(*written->length, record.size());
        EXPECT_EQ(wholeFile(recordFd.get()), record);
        UniqueFd afterOtherBytes = memoryFile("abc");
        ASSERT_EQ(lseek(afterOtherBytes.get(), 0, SEEK_END), 3);
        ASSERT_TRUE(
            encodeRecord({contentsFd.get(), c.contents.size(), {}}, c.base ? &base : nullptr, afterOtherBytes.get()));
        EXPECT_EQ(wholeFile(afterOtherBytes.get()), "abc" + record);

        const auto header = readRecordHeader(recordFd.get());
        ASSERT_TRUE(header);
        EXPECT_EQ(header->kind, c.base ? EncodedKind::Delta : EncodedKind::Compressed);
        EXPECT_EQ(header->size, c.contents.size());
        EXPECT_EQ(header->checksum, checksumOf(c.contents));
        EXPECT_EQ(header->baseName, c.base ? kBaseName : "");
        EXPECT_EQ(header->baseSize, c.base.value_or("").size());
        EXPECT_EQ(header->baseChecksum, c.base ? checksumOf(*c.base) : "");
        EXPECT_EQ(readRecordHeader(record)->checksum, header->checksum);

        std::string error;
        EXPECT_EQ(decoded(record, c.base, &error, {c.contents.size(), header->checksum, {}}), c.contents) << error;
    }
}

// Each thread reuses its compression and decompression contexts: a record
// made after others is the one a fresh thread makes, with nothing of the
// last one's base or parameters (a compressed record after a delta decodes
// without a base).
TEST(RecordCodec, ARecordOwesNothingToTheOnesBefore)
{
    const std::string prose = text(80000, 5);
    const std::string large = text(3 << 20, 6);
    const struct {
        const char* name;
        std::string contents;
        std::optional<std::string> base;
        int level;
    } sequence[] = {
        {"a delta at its own level", prose, edited(prose), 0},
        {"compressed after a delta", prose, std::nullopt, kRecordLevel},
        {"a delta at level 1", edited(prose), prose, 1},
        {"compressed at level 1 after it", prose, std::nullopt, 1},
        {"a delta of a large base", large, large + prose, 0},
        {"large contents compressed after it", large, std::nullopt, kRecordLevel},
    };
    for (const auto& one : sequence) {
        SCOPED_TRACE(one.name);
        const std::string record = encoded(one.contents, one.base, {one.level});
        std::string fresh;
        std::thread([&] { fresh = encoded(one.contents, one.base, {one.level}); }).join();
        EXPECT_TRUE(record == fresh);
        std::string error;
        EXPECT_TRUE(decoded(record, one.base, &error) == one.contents) << error;
    }
}

// A delta reaches back over the whole base: 12 MiB that do not compress,
// equal to the base or but for one byte, cost a few bytes per block of zstd's.
TEST(RecordCodec, ADeltaOfNearlyTheBaseIsTiny)
{
    const std::string base = noise(12 << 20, 5);
    std::string changed = base;
    changed[changed.size() / 2] ^= 1;
    for (const std::string& contents : {base, changed}) {
        const std::string record = encoded(contents, base);
        EXPECT_LT(record.size(), kRecordHeaderLength + contents.size() / 4096);
        std::string error;
        EXPECT_EQ(decoded(record, base, &error), contents) << error;
    }
}

// The sample that spares a full try says no only to contents that do not
// shrink at all: noise alone or against other noise. Noise against itself,
// prose, noise that ends in prose (a pdf's fonts, then its table) and short
// contents are tried in full.
TEST(RecordCodec, OnlyContentsThatDoNotShrinkAreSparedAFullTry)
{
    const std::string random = noise(64 << 10, 11), other = noise(64 << 10, 12), prose = text(64 << 10, 13),
                      shortNoise = noise(600, 14), endsInProse = noise(48 << 10, 15) + text(20 << 10, 16);
    const struct {
        const std::string* contents;
        const std::string* base;
        bool shrinks;
    } cases[] = {{&random, nullptr, false},    {&random, &other, false}, {&random, &random, true},
                 {&prose, nullptr, true},      {&prose, &other, true},   {&shortNoise, nullptr, true},
                 {&endsInProse, nullptr, true}};
    for (const auto& tried : cases) {
        const UniqueFd contents = memoryFile(*tried.contents);
        const UniqueFd base = memoryFile(tried.base ? *tried.base : std::string());
        const DeltaBase delta{kBaseName, {base.get(), tried.base ? tried.base->size() : 0, {}}};
        EXPECT_EQ(mayShrink({contents.get(), tried.contents->size(), {}}, tried.base ? &delta : nullptr), tried.shrinks)
            << &tried - cases;
    }
}

// Every way a record can be damaged is an error naming the cause, never a
// success: whether read from a file or from memory.
TEST(RecordCodec, DamagedRecordsAreRefused)
{
    const std::string base = text(90000, 9);
    const std::string contents = edited(base);
    const std::string delta = encoded(contents, base);
    const std::string compressed = encoded(contents, std::nullopt);
    const std::string largerDelta = encoded(contents + "more", base);
    const std::string largerCompressed = encoded(contents + "more", std::nullopt);
    using Damage = std::function<std::string(std::string)>;
    const auto flip = [](std::size_t at) {
        return [at](std::string r) {
            r[at] ^= 0x10;
            return r;
        };
    };
    const auto cut = [](std::size_t length) { return [length](std::string r) { return r.substr(0, length); }; };
    const struct {
        const char* name;
        Damage damage;
        const char* says;
    } cases[] = {
        {"empty", cut(0), "truncated"},
        {"bad magic", flip(0), "not a record"},
        {"not our header", flip(9), "not a record"},
        {"newer codec version", flip(13), "codec version"},
        {"size field", flip(17), "header is damaged"},
        {"checksum field", flip(30), "header is damaged"},
        {"base name", flip(70), "header is damaged"},
        {"cut inside the header", cut(60), "truncated"},
        {"nothing after the header", cut(kRecordHeaderLength), "truncated"},
        {"cut inside the frame header", cut(kRecordHeaderLength + 3), "truncated"},
        {"cut inside the frame", cut(delta.size() / 2), "truncated"},
        {"last byte missing", [](std::string r) { return r.substr(0, r.size() - 1); }, "truncated"},
        {"zstd's checksum",
         [](std::string r) {
             r.back() ^= 0x10;
             return r;
         },
         "damaged"},
        {"a trailing byte", [](std::string r) { return r + "x"; }, "after its zstd frame"},
        {"a second frame", [](std::string r) { return r + r.substr(kRecordHeaderLength); }, "after its zstd frame"},
        {"a trailing header", [](std::string r) { return r + r.substr(0, kRecordHeaderLength); },
         "after its zstd frame"},
        {"the frame of larger contents",
         [&](std::string r) {
             const std::string& larger = r == delta ? largerDelta : largerCompressed;
             return r.substr(0, kRecordHeaderLength) + larger.substr(kRecordHeaderLength);
         },
         "does not declare the header's size"},
    };
    for (const auto& c : cases) {
        for (const bool isDelta : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (isDelta ? " (delta)" : " (compressed)"));
            std::string error;
            const auto result =
                decoded(c.damage(isDelta ? delta : compressed), isDelta ? std::optional(base) : std::nullopt, &error);
            EXPECT_FALSE(result);
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
        }
    }
}

// Whichever byte of a record's frame is damaged, decoding never succeeds with
// other contents (a few bytes zstd does not need leave them whole).
TEST(RecordCodec, NoDamagedByteYieldsOtherContents)
{
    const std::string base = text(12000, 14);
    const std::string contents = edited(base);
    for (const bool isDelta : {true, false}) {
        const std::string record = encoded(contents, isDelta ? std::optional(base) : std::nullopt);
        std::size_t refused = 0;
        for (std::size_t at = kRecordHeaderLength; at < record.size(); ++at) {
            std::string damaged = record;
            damaged[at] ^= 0x04;
            std::string error;
            const auto result = decoded(damaged, isDelta ? std::optional(base) : std::nullopt, &error);
            if (result)
                ASSERT_EQ(*result, contents) << "byte " << at;
            else
                ++refused;
        }
        EXPECT_GT(refused, (record.size() - kRecordHeaderLength) * 9 / 10);
    }
}

// A delta decoded against anything but its base, or a record that is not what
// the index says, is refused before a wrong byte could pass as its contents.
TEST(RecordCodec, WrongBasesAndExpectationsAreRefused)
{
    const std::string base = text(50000, 11);
    const std::string contents = edited(base);
    const std::string delta = encoded(contents, base);
    const std::string compressed = encoded(contents, std::nullopt);
    std::string sameSize = base;
    sameSize[100] ^= 1;
    const struct {
        const char* name;
        const std::string& record;
        std::optional<std::string> base;
        RecordExpectations expected;
        const char* says;
    } cases[] = {
        {"another base of the same size", delta, sameSize, {}, "not the record's base"},
        {"a base of another size", delta, base + "x", {}, "holds 50001 bytes"},
        {"no base for a delta", delta, std::nullopt, {}, "no base was given"},
        {"a base for a compressed record", compressed, base, {}, "compressed, not a delta"},
        {"another size expected", delta, base, {contents.size() + 1, {}, {}}, "not the"},
        {"another checksum expected", delta, base, {{}, checksumOf(base), {}}, "checksum is not"},
        {"another base expected", delta, base, {{}, {}, checksumOf(contents)}, "other contents than the base"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(decoded(c.record, c.base, &error, c.expected));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

// Encoding refuses what it cannot do in bounded memory and contents that are
// not what the caller says they are; a record over the caller's limit has no
// length, and a smaller one does.
TEST(RecordCodec, EncodingRefusesBadInputsAndStopsAtTheLimit)
{
    const std::string prose = text(20000, 12);
    UniqueFd proseFd = memoryFile(prose);
    UniqueFd huge(memfd_create("huge", MFD_CLOEXEC));
    ASSERT_EQ(ftruncate(huge.get(), kDeltaLimit + 1), 0);
    const ContentsFile plain{proseFd.get(), prose.size(), {}};
    const ContentsFile over{huge.get(), kDeltaLimit + 1, {}};
    const DeltaBase base{kBaseName, plain};
    const DeltaBase hugeBase{kBaseName, over};
    const DeltaBase badName{"0123456789ABCDEF0123456789ABCDEF", plain};
    const DeltaBase shortBase{kBaseName, {proseFd.get(), prose.size() + 1, {}}};
    const DeltaBase wrongBase{kBaseName, {proseFd.get(), prose.size(), checksumOf("other")}};
    const struct {
        const char* name;
        ContentsFile contents;
        const DeltaBase* base;
        int level;
        const char* says;
    } cases[] = {
        {"contents over the delta limit", over, &base, kRecordLevel, "16 MiB"},
        {"a base over the delta limit", plain, &hugeBase, kRecordLevel, "16 MiB"},
        {"contents shorter than said", {proseFd.get(), prose.size() + 1, {}}, nullptr, kRecordLevel, "end after 20000"},
        {"base shorter than said", plain, &shortBase, kRecordLevel, "end after 20000"},
        {"contents with another checksum",
         {proseFd.get(), prose.size(), checksumOf("other")},
         nullptr,
         kRecordLevel,
         "checksum expected"},
        {"a base with another checksum", plain, &wrongBase, kRecordLevel, "checksum expected"},
        {"a base not named as records are", plain, &badName, kRecordLevel, "name"},
        {"level -1", plain, nullptr, -1, "level -1"},
        {"level 20", plain, &base, 20, "level 20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        std::string error;
        EXPECT_FALSE(encodeRecord(c.contents, c.base, out, {c.level}, &error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }

    const std::string random = noise(100000, 13);
    UniqueFd randomFd = memoryFile(random);
    const DeltaBase unrelated{kBaseName, {randomFd.get(), random.size(), {}}};
    std::string first, second, third;
    const auto tooLong = encodeRecord(plain, nullptr, first, {kRecordLevel, prose.size() / 100});
    ASSERT_TRUE(tooLong);
    EXPECT_FALSE(tooLong->length);
    const auto noDelta = encodeRecord({randomFd.get(), random.size(), {}}, &base, second, {kRecordLevel, 60000});
    ASSERT_TRUE(noDelta);
    EXPECT_FALSE(noDelta->length);
    const auto fits = encodeRecord(plain, &unrelated, third, {kRecordLevel, prose.size() / 2});
    ASSERT_TRUE(fits && fits->length);
    EXPECT_EQ(*fits->length, third.size());
}
