#pragma once

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <optional>
#include <string>

// The text of a version as the browser previews and compares it.
namespace strataloom {

// More text than this is shown only in part, and not compared.
inline constexpr qint64 kTextLimit = 2 * 1024 * 1024;

// Up to kTextLimit bytes of the contents, when they are text (UTF-8 without
// NUL bytes) or an office text document (its paragraphs, one a line);
// `truncated` tells whether more follow.
std::optional<QByteArray> readText(QFile& file, bool& truncated);

// The lines of `text`, a last newline ending the last line.
QStringList linesOf(const QByteArray& text);

// Bytes (a name, a message) as the window shows them: UTF-8, a byte that is
// not shown as the replacement character.
inline QString display(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace strataloom
