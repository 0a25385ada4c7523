#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <cstdint>

// Dates and sizes as the window shows them: in the user's locale (QLocale's
// default), recent dates relative to now. The command line keeps ISO 8601 UTC.
namespace strataloom {

// "just now", "5 minutes ago", "today 14:03", "yesterday 14:03"; older, or
// later than `now` (a clock set back), the locale's date and time in `format`.
QString displayDateTime(const QDateTime& when, const QDateTime& now = QDateTime::currentDateTime(),
                        QLocale::FormatType format = QLocale::ShortFormat);

// The locale's date and time in its long format, for a tooltip beside a relative date.
QString fullDateTime(const QDateTime& when);

// Bytes in the locale's digits and units ("1.43 MiB", "1,43 MiB").
QString displaySize(std::uint64_t bytes);

} // namespace strataloom
