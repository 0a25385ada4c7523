#include "DisplayFormat.h"

#include <QCoreApplication>

#include <limits>

namespace strataloom {

QString displayDateTime(const QDateTime& when, const QDateTime& now, QLocale::FormatType format)
{
    const QLocale locale;
    const QDateTime local = when.toLocalTime();
    const QDateTime localNow = now.toLocalTime();
    const qint64 seconds = local.secsTo(localNow);
    if (seconds >= 0) {
        if (seconds < 60)
            return QCoreApplication::translate("DisplayFormat", "just now");
        if (seconds < 3600) {
            const int minutes = int(seconds / 60);
            return minutes == 1 ? QCoreApplication::translate("DisplayFormat", "1 minute ago")
                                : QCoreApplication::translate("DisplayFormat", "%1 minutes ago").arg(minutes);
        }
        const qint64 days = local.date().daysTo(localNow.date());
        const QString time = locale.toString(local.time(), QLocale::ShortFormat);
        if (days == 0)
            return QCoreApplication::translate("DisplayFormat", "today %1").arg(time);
        if (days == 1)
            return QCoreApplication::translate("DisplayFormat", "yesterday %1").arg(time);
    }
    return locale.toString(local, format);
}

QString fullDateTime(const QDateTime& when)
{
    return QLocale().toString(when.toLocalTime(), QLocale::LongFormat);
}

QString displaySize(std::uint64_t bytes)
{
    const auto clamped =
        bytes > std::uint64_t(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max() : qint64(bytes);
    return QLocale().formattedDataSize(clamped);
}

} // namespace strataloom
