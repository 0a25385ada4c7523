#include "DisplayFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace strataloom;

namespace {

// Each case under the locale it names, restoring the default after.
class DisplayFormat : public ::testing::Test {
protected:
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

// Noon, so that the hours before and after stay on the same day in any time zone.
QDateTime noon()
{
    return QDateTime(QDate(2026, 12, 7), QTime(12, 0), Qt::LocalTime);
}

} // namespace

TEST_F(DisplayFormat, RecentDatesAreRelativeAndOlderOrLaterOnesTheLocalesOwn)
{
    const struct {
        QLocale::Language language;
        qint64 secondsBefore;
        const char* shown;
    } cases[] = {
        {QLocale::English, 0, "just now"},
        {QLocale::English, 59, "just now"},
        {QLocale::English, 60, "1 minute ago"},
        {QLocale::English, 5 * 60 + 59, "5 minutes ago"},
        {QLocale::English, 59 * 60, "59 minutes ago"},
        {QLocale::English, 3600 + 57 * 60, "today 10:03 AM"},
        {QLocale::English, 22 * 3600 - 3 * 60, "yesterday 2:03 PM"},
        {QLocale::German, 22 * 3600 - 3 * 60, "yesterday 14:03"},
        // Two days back and beyond: the date itself, as the locale writes it.
        {QLocale::German, 46 * 3600, "05.12.26 14:00"},
        {QLocale::English, 46 * 3600, "12/5/26 2:00 PM"},
        // A date after now (a clock set back, a file from elsewhere) is never "ago".
        {QLocale::German, -3600, "07.12.26 13:00"},
    };
    for (const auto& c : cases) {
        QLocale::setDefault(
            QLocale(c.language, c.language == QLocale::German ? QLocale::Germany : QLocale::UnitedStates));
        // Locale data differ in the space before "PM"; any space will do.
        const QString shown =
            displayDateTime(noon().addSecs(-c.secondsBefore), noon()).replace(QChar(0x202F), QLatin1Char(' '));
        EXPECT_EQ(shown.toStdString(), c.shown)
            << c.secondsBefore << " seconds before, " << QLocale().name().toStdString();
    }
}

TEST_F(DisplayFormat, SizesUseTheLocalesDigits)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(displaySize(1536 * 1024).toStdString(), "1,50 MiB");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(displaySize(1536 * 1024).toStdString(), "1.50 MiB");
    // Larger than any qint64: shown, not wrapped round to a negative size.
    EXPECT_FALSE(displaySize(~std::uint64_t{0}).startsWith(QLatin1Char('-')));
}

// Run with LANG=de_DE.UTF-8: the user's locale reaches the window without being set.
TEST_F(DisplayFormat, TheUsersLanguageIsTheDefault)
{
    const char* lang = std::getenv("LANG");
    if (!lang || QByteArray(lang) != "de_DE.UTF-8")
        GTEST_SKIP() << "needs LANG=de_DE.UTF-8";
    EXPECT_EQ(displayDateTime(noon().addDays(-3), noon()).toStdString(), "04.12.26 12:00");
}
