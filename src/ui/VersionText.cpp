#include "VersionText.h"

#include "Names.h"
#include "OfficeText.h"

namespace strataloom {

namespace {

// Office documents larger than this are not opened for their text.
constexpr qint64 kDocumentLimit = 64 * 1024 * 1024;

// Up to kTextLimit bytes of `data`, when they are text.
std::optional<QByteArray> asText(QByteArray data, bool& truncated)
{
    truncated = data.size() > kTextLimit;
    if (truncated)
        data.truncate(kTextLimit);
    // Text is UTF-8 without NUL bytes; a sequence cut by the limit does not count.
    if (data.contains('\0'))
        return std::nullopt;
    for (int cut = 0; cut <= (truncated ? 3 : 0); ++cut)
        if (isValidUtf8(std::string_view(data.constData(), static_cast<std::size_t>(data.size() - cut)))) {
            data.chop(cut);
            return data;
        }
    return std::nullopt;
}

std::optional<QByteArray> documentText(QFile& file)
{
    if (file.size() > kDocumentLimit || !file.seek(0))
        return std::nullopt;
    const QByteArray data = file.read(kDocumentLimit + 1);
    if (data.size() > kDocumentLimit)
        return std::nullopt;
    return officeText(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
}

} // namespace

std::optional<QByteArray> readText(QFile& file, bool& truncated)
{
    if (!file.seek(0))
        return std::nullopt;
    const QByteArray data = file.read(kTextLimit + 1);
    if (data.isNull() && file.error() != QFileDevice::NoError)
        return std::nullopt;
    if (data.startsWith(QByteArrayLiteral("PK\x03\x04"))) {
        if (auto text = documentText(file))
            return asText(std::move(*text), truncated);
    }
    return asText(data, truncated);
}

QStringList linesOf(const QByteArray& text)
{
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    if (text.endsWith('\n'))
        lines.removeLast();
    return lines;
}

} // namespace strataloom
