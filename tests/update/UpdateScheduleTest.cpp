#include "UpdateTestSupport.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QSettings>
#include <QtTest>

#include <cmath>
#include <optional>

using namespace strataloom;
using namespace strataloom::test;

Q_DECLARE_METATYPE(std::optional<double>)

namespace {

QSettings defaults()
{
    return QSettings(QStringLiteral("Strataloom"), QStringLiteral("Strataloom"));
}

// A check started is seen through the running version being absent: the
// check then ends at once in its alert, without the network.
struct ScheduledCheck : FakeCheck {
    ScheduledCheck()
    {
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.infoDictionary = [] { return QVariantMap{{QStringLiteral("CFBundleName"), QStringLiteral("x")}}; };
        configuration.now = [this] { return now; };
        auto fake = std::make_unique<FakeUpdateUi>();
        ui = fake.get();
        check = std::make_unique<UpdateCheck>(std::move(fake), configuration);
        // Dismissing the alert takes the user a while.
        ui->answer = [this](const Alert&) {
            now += 7.0;
            return 0;
        };
    }
    bool checked() const { return !ui->alerts.isEmpty(); }
};

} // namespace

class UpdateScheduleTest : public QObject {
    Q_OBJECT
private slots:
    void init() { defaults().clear(); }

    void firstLaunchChecksAndStoresDefaults()
    {
        ScheduledCheck launch;
        launch.check->checkForUpdatesIfDue();

        QVERIFY(launch.checked());
        QVERIFY(isErrorAlert(launch.ui->alerts.first(),
                             QStringLiteral("Can't check for updates:\nNo app version string found.")));
        QSettings settings = defaults();
        QCOMPARE(settings.value(kNoUpdateCheckKey).toBool(), false);
        QVERIFY(settings.contains(kNoUpdateCheckKey));
        QCOMPARE(settings.value(kUpdateCheckIntervalKey).toDouble(), 43200.0);
        // The time after the alert was dismissed, not before the check.
        QCOMPARE(settings.value(kDateLastUpdateCheckKey).toDouble(), launch.now);
        QCOMPARE(launch.now, 700'000'007.0);
    }

    void decision_data()
    {
        QTest::addColumn<bool>("off");
        QTest::addColumn<std::optional<double>>("stored");
        QTest::addColumn<std::optional<double>>("elapsed");
        QTest::addColumn<bool>("due");
        QTest::addColumn<double>("writtenInterval");

        const std::optional<double> none;
        QTest::newRow("switched off") << true << std::optional(0.5) << none << false << 43200.0;
        QTest::newRow("switched off keeps a valid interval") << true << std::optional(60.0) << none << false << 60.0;
        QTest::newRow("interval 0.5 becomes 12 hours, not yet due")
            << false << std::optional(0.5) << std::optional(43200.0) << false << 43200.0;
        QTest::newRow("interval 0.5 becomes 12 hours, due")
            << false << std::optional(0.5) << std::optional(43201.0) << true << 43200.0;
        QTest::newRow("negative interval") << false << std::optional(-5.0) << std::optional(100.0) << false << 43200.0;
        QTest::newRow("interval 1 is kept") << false << std::optional(1.0) << std::optional(1.5) << true << 1.0;
        QTest::newRow("interval 1, one second is not yet due")
            << false << std::optional(1.0) << std::optional(1.0) << false << 1.0;
        QTest::newRow("exactly the interval is not due") << false << std::optional(3600.0) << std::optional(3600.0)
                                                         << false << 3600.0;
        QTest::newRow("one second more is due") << false << std::optional(3600.0) << std::optional(3601.0) << true
                                                << 3600.0;
        QTest::newRow("last check in the future") << false << std::optional(3600.0) << std::optional(-10.0) << false
                                                  << 3600.0;
        QTest::newRow("no interval stored") << false << none << std::optional(50000.0) << true << 43200.0;
    }

    void decision()
    {
        QFETCH(bool, off);
        QFETCH(std::optional<double>, stored);
        QFETCH(std::optional<double>, elapsed);
        QFETCH(bool, due);
        QFETCH(double, writtenInterval);

        ScheduledCheck launch;
        const double start = launch.now;
        {
            QSettings settings = defaults();
            settings.setValue(kNoUpdateCheckKey, off);
            if (stored)
                settings.setValue(kUpdateCheckIntervalKey, *stored);
            if (elapsed)
                settings.setValue(kDateLastUpdateCheckKey, start - *elapsed);
        }
        launch.check->checkForUpdatesIfDue();

        QCOMPARE(launch.checked(), due);
        QSettings settings = defaults();
        QCOMPARE(settings.value(kNoUpdateCheckKey).toBool(), off);
        QCOMPARE(settings.value(kUpdateCheckIntervalKey).toDouble(), writtenInterval);
        if (due)
            QCOMPARE(settings.value(kDateLastUpdateCheckKey).toDouble(), start + 7.0);
        else if (elapsed)
            QCOMPARE(settings.value(kDateLastUpdateCheckKey).toDouble(), start - *elapsed);
        else
            QVERIFY(!settings.contains(kDateLastUpdateCheckKey));
    }

    // The application's information missing altogether ends the check without
    // a word, but it still counts as a check (the first, with empty defaults).
    void emptyInformationIsSilentAndStillRecorded()
    {
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.infoDictionary = [] { return QVariantMap(); };
        configuration.now = [] { return 100000.0; };
        auto fake = std::make_unique<FakeUpdateUi>();
        FakeUpdateUi* ui = fake.get();
        UpdateCheck check(std::move(fake), configuration);
        check.checkForUpdatesIfDue();

        QVERIFY(ui->alerts.isEmpty());
        QCOMPARE(defaults().value(kDateLastUpdateCheckKey).toDouble(), 100000.0);
    }

    // The standard clock counts from 2001-01-01 00:00:00 UTC.
    void standardClockUsesTheReferenceDate()
    {
        const double expected =
            double(QDateTime::currentSecsSinceEpoch() - QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch());
        QVERIFY(std::abs(UpdateConfiguration::standard().now() - expected) < 5.0);
    }
};

STRATALOOM_QTEST_MAIN(UpdateScheduleTest)
#include "UpdateScheduleTest.moc"
