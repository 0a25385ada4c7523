#include "VersionText.h"

#include "Names.h"

namespace strataloom {

std::optional<QByteArray> readText(QFile& file, bool& truncated)
{
    if (!file.seek(0))
        return std::nullopt;
    QByteArray data = file.read(kTextLimit + 1);
    if (data.isNull() && file.error() != QFileDevice::NoError)
        return std::nullopt;
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

QStringList linesOf(const QByteArray& text)
{
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    if (text.endsWith('\n'))
        lines.removeLast();
    return lines;
}

} // namespace strataloom
