#include "Names.h"

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <utility>

namespace strataloom {

namespace {

QByteArrayView viewOf(std::string_view bytes)
{
    return QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

bool isAscii(std::string_view bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Length of the valid UTF-8 sequence that starts at `position`, or 0 when the
// byte there starts none. The lead byte says how long the sequence must be; the
// decoder judges it.
std::size_t sequenceLength(std::string_view bytes, std::size_t position)
{
    const auto lead = static_cast<unsigned char>(bytes[position]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    return length <= bytes.size() - position && isValidUtf8(bytes.substr(position, length)) ? length : 0;
}

// The valid UTF-8 stretch `bytes` as UTF-16. A leading byte order mark is part
// of a name, so it is kept (QString::fromUtf8 would drop it).
QString decodeValid(std::string_view bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(viewOf(bytes));
}

// For each UTF-16 unit of `text` (and its end), the offset in its UTF-8 form of
// the code point the unit belongs to.
std::vector<std::size_t> utf8Offsets(const QString& text)
{
    std::vector<std::size_t> offsets;
    offsets.reserve(static_cast<std::size_t>(text.size()) + 1);
    std::size_t offset = 0;
    for (const QChar unit : text) {
        offsets.push_back(offset);
        const char16_t value = unit.unicode();
        offset += unit.isHighSurrogate() ? 0 : unit.isLowSurrogate() ? 4 : value < 0x80 ? 1 : value < 0x800 ? 2 : 3;
    }
    offsets.push_back(offset);
    return offsets;
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
        if (sequenceLength(name, position) == 0) {
            starts.push_back(position++);
            continue;
        }
        const std::size_t runStart = position;
        while (position < name.size()) {
            const std::size_t length = sequenceLength(name, position);
            if (length == 0)
                break;
            position += length;
        }
        const QString text = decodeValid(name.substr(runStart, position - runStart));
        const std::vector<std::size_t> unitOffsets = utf8Offsets(text);
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
    // A stateless decoder also reports a sequence cut off at the end, which a
    // stateful one would keep for the next call. It decodes when its result
    // becomes a QString.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(viewOf(bytes));
    return !decoder.hasError();
}

std::string nameSortKey(std::string_view name)
{
    // ASCII is already in NFC.
    if (isAscii(name) || !isValidUtf8(name))
        return std::string(name);
    const QByteArray composed = decodeValid(name).normalized(QString::NormalizationForm_C).toUtf8();
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

std::string printableName(std::string_view name)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string printed;
    printed.reserve(name.size());
    const auto escapeBytes = [&](std::string_view bytes) {
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            printed += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : "";
            if (c != '\n' && c != '\t' && c != '\r')
                printed.append({'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]});
        }
    };
    for (std::size_t position = 0; position < name.size();) {
        const std::size_t length = sequenceLength(name, position);
        const std::string_view sequence = name.substr(position, length == 0 ? 1 : length);
        const auto lead = static_cast<unsigned char>(sequence[0]);
        const bool control = length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7F))
                          || (length == 2 && lead == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0)
                          || sequence == "\u2028" || sequence == "\u2029";
        if (control)
            escapeBytes(sequence);
        else if (sequence == "\\")
            printed += "\\\\";
        else
            printed += sequence;
        position += sequence.size();
    }
    return printed;
}

std::string shellWord(std::string_view word)
{
    const bool plain = !word.empty()
                    && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789/._+-@%:,=")
                           == std::string_view::npos;
    if (plain)
        return std::string(word);
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace strataloom
