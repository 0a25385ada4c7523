#include "Names.h"

#include <QString>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <utility>

namespace strataloom {

namespace {

struct Decoded {
    char32_t codePoint = 0;
    std::size_t length = 0; // 0: the byte at the position is not valid UTF-8
};

bool isContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Decodes the sequence that starts at `position`, rejecting overlong forms,
// surrogates and values above U+10FFFF.
Decoded decodeAt(std::string_view bytes, std::size_t position)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[position + i]); };
    const std::size_t available = bytes.size() - position;
    const unsigned char lead = at(0);
    if (lead < 0x80)
        return {lead, 1};

    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return {};
    }
    if (available < length || at(1) < low || at(1) > high)
        return {};
    for (std::size_t i = 1; i < length; ++i) {
        if (!isContinuation(at(i)))
            return {};
        value = (value << 6) | (at(i) & 0x3F);
    }
    return {value, length};
}

bool isAscii(std::string_view bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The valid UTF-8 stretch `bytes` as UTF-16, with the byte offset at which each
// UTF-16 unit starts (plus one entry for the end). QString::fromUtf8 is not used
// because it drops a leading byte order mark.
QString decodeValid(std::string_view bytes, std::vector<std::size_t>* unitOffsets)
{
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (std::size_t position = 0; position < bytes.size();) {
        const Decoded decoded = decodeAt(bytes, position);
        if (QChar::requiresSurrogates(decoded.codePoint)) {
            text.append(QChar(QChar::highSurrogate(decoded.codePoint)));
            text.append(QChar(QChar::lowSurrogate(decoded.codePoint)));
            if (unitOffsets)
                unitOffsets->insert(unitOffsets->end(), 2, position);
        } else {
            text.append(QChar(static_cast<char16_t>(decoded.codePoint)));
            if (unitOffsets)
                unitOffsets->push_back(position);
        }
        position += decoded.length;
    }
    if (unitOffsets)
        unitOffsets->push_back(bytes.size());
    return text;
}

bool isRegionalIndicatorAt(const QString& text, qsizetype unit)
{
    return unit + 1 < text.size() && text.at(unit).isHighSurrogate()
        && QChar::surrogateToUcs4(text.at(unit), text.at(unit + 1)) >= 0x1F1E6
        && QChar::surrogateToUcs4(text.at(unit), text.at(unit + 1)) <= 0x1F1FF;
}

// For each UTF-16 position of `text` (and its end), whether a character starts
// there. Qt splits a pair of regional indicators (a flag) that follows an
// emoji, so pairs are counted here again from the start of each run of them.
std::vector<bool> graphemeBoundaries(const QString& text)
{
    std::vector<bool> boundaries(static_cast<std::size_t>(text.size()) + 1, false);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype boundary = 0; boundary >= 0; boundary = finder.toNextBoundary())
        boundaries[static_cast<std::size_t>(boundary)] = true;
    for (qsizetype unit = 0; unit < text.size();) {
        if (!isRegionalIndicatorAt(text, unit)) {
            ++unit;
            continue;
        }
        for (int count = 1; unit + 2 < text.size() && isRegionalIndicatorAt(text, unit + 2); ++count) {
            unit += 2;
            boundaries[static_cast<std::size_t>(unit)] = count % 2 == 0;
        }
        unit += 2;
    }
    return boundaries;
}

// Byte offsets at which the characters of `name` start.
std::vector<std::size_t> characterStarts(std::string_view name)
{
    std::vector<std::size_t> starts;
    std::size_t position = 0;
    while (position < name.size()) {
        if (decodeAt(name, position).length == 0) {
            starts.push_back(position++);
            continue;
        }
        const std::size_t runStart = position;
        while (position < name.size()) {
            const Decoded decoded = decodeAt(name, position);
            if (decoded.length == 0)
                break;
            position += decoded.length;
        }
        std::vector<std::size_t> unitOffsets;
        const QString text = decodeValid(name.substr(runStart, position - runStart), &unitOffsets);
        const std::vector<bool> boundaries = graphemeBoundaries(text);
        for (std::size_t unit = 0; unit + 1 < boundaries.size(); ++unit) {
            if (boundaries[unit])
                starts.push_back(runStart + unitOffsets[unit]);
        }
    }
    return starts;
}

} // namespace

bool isValidUtf8(std::string_view bytes)
{
    for (std::size_t position = 0; position < bytes.size();) {
        const std::size_t length = decodeAt(bytes, position).length;
        if (length == 0)
            return false;
        position += length;
    }
    return true;
}

std::string nameSortKey(std::string_view name)
{
    // ASCII is already in NFC.
    if (isAscii(name) || !isValidUtf8(name))
        return std::string(name);
    const QByteArray composed = decodeValid(name, nullptr).normalized(QString::NormalizationForm_C).toUtf8();
    return composed.toStdString();
}

std::strong_ordering compareNames(std::string_view a, std::string_view b)
{
    return nameSortKey(a) <=> nameSortKey(b);
}

void sortNames(std::vector<std::string>& names)
{
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(names.size());
    for (std::string& name : names) {
        std::string key = nameSortKey(name);
        keyed.emplace_back(std::move(key), std::move(name));
    }
    // std::string compares as unsigned bytes, which is code point order for UTF-8.
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < names.size(); ++i)
        names[i] = std::move(keyed[i].second);
}

std::size_t characterCount(std::string_view name)
{
    return characterStarts(name).size();
}

std::string droppingLastCharacters(std::string_view name, std::size_t count)
{
    const std::vector<std::size_t> starts = characterStarts(name);
    if (starts.size() <= count)
        return {};
    return std::string(name.substr(0, starts[starts.size() - count]));
}

} // namespace strataloom
