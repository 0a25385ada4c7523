// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "PreferencesDialog.h"
#include "Settings.h"
#include "SettingsSchema.h"
#include "Thinning.h"
#include "WatchSettings.h"
#include "support/TestEnvironment.h"
#endif

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

using namespace strataloom;
using namespace std::chrono_literals;

class PreferencesDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<PreferencesDialog> m_dialog;

    QDoubleSpinBox* spin(const char* name) const { return m_dialog->findChild<QDoubleSpinBox*>(QLatin1String(name)); }
    QPlainTextEdit* patterns() const { return m_dialog->findChild<QPlainTextEdit*>("patternsEdit"); }
    QCheckBox* updateCheck() const { return m_dialog->findChild<QCheckBox*>("updateCheckBox"); }
    QPushButton* button(QDialogButtonBox::StandardButton which) const
    {
        return m_dialog->findChild<QDialogButtonBox*>("buttonBox")->button(which);
    }

private slots:
    void init()
    {
        QSettings(QStringLiteral("Strataloom"), QStringLiteral("Strataloom")).clear();
        m_dialog = std::make_unique<PreferencesDialog>();
    }

    void showsEachDefaultAndWhatItDoes()
    {
        QCOMPARE(spin("keepAllSpin")->value(), 1.0);
        QCOMPARE(spin("hourlySpin")->value(), 1.0);
        QCOMPARE(spin("dailySpin")->value(), 30.0);
        QCOMPARE(spin("maxSizeSpin")->text(), QStringLiteral("a tenth of the disk"));
        QCOMPARE(spin("quietSpin")->value(), 2.0);
        QVERIFY(updateCheck()->isChecked());
        QCOMPARE(spin("updateIntervalSpin")->value(), 12.0);
        QCOMPARE(m_dialog->findChild<QLabel*>("keepAllHelp")->text(),
                 QStringLiteral("Every version younger than this is kept. Default: 1.00 hours."));
    }

    void appliedValuesReachEveryReaderAndDefaultsComeBack()
    {
        // A pattern that is not UTF-8, set elsewhere, keeps its bytes while its line is left alone.
        WatchSettings watch;
        watch.setExcludedPatterns({"*.tmp", "caf\xe9*"});
        QVERIFY(watch.save());
        m_dialog->load();
        patterns()->setPlainText(patterns()->toPlainText() + QStringLiteral("\n\n~$*\n"));
        spin("keepAllSpin")->setValue(2);
        spin("hourlySpin")->setValue(3);
        spin("dailySpin")->setValue(60);
        spin("maxSizeSpin")->setValue(5);
        spin("sizeLimitSpin")->setValue(100);
        spin("quietSpin")->setValue(0.5);
        spin("updateIntervalSpin")->setValue(24);
        updateCheck()->setChecked(false);
        QVERIFY(!spin("updateIntervalSpin")->isEnabled());
        button(QDialogButtonBox::Apply)->click();

        const ThinningOptions thinning = thinningOptionsFromSettings("/");
        QCOMPARE(thinning.schedule.keepAll, std::chrono::seconds(2h));
        QCOMPARE(thinning.schedule.hourly, std::chrono::seconds(72h));
        QCOMPARE(thinning.schedule.daily, std::chrono::seconds(24h * 60));
        QCOMPARE(thinning.maxBytes, std::optional<std::uint64_t>(5'000'000'000));
        const WatchSettings applied;
        QCOMPARE(applied.excludedPatterns(), (std::vector<std::string>{"*.tmp", "caf\xe9*", "~$*"}));
        QCOMPARE(applied.sizeLimit(), std::uint64_t{100'000'000});
        QCOMPARE(applied.quietPeriod(), 500ms);
        QVERIFY(Settings().boolForKey(QStringLiteral("noUpdateCheck")));
        QCOMPARE(Settings().doubleForKey(QStringLiteral("updateCheckInt")), 86400.0);

        // Opened again, it shows what was applied.
        m_dialog = std::make_unique<PreferencesDialog>();
        QCOMPARE(spin("quietSpin")->value(), 0.5);
        QVERIFY(!updateCheck()->isChecked());

        button(QDialogButtonBox::RestoreDefaults)->click();
        m_dialog->accept();
        QCOMPARE(thinningOptionsFromSettings("/").schedule.keepAll, std::chrono::seconds(1h));
        QCOMPARE(WatchSettings().excludedPatterns(), std::vector<std::string>{});
        QCOMPARE(WatchSettings().quietPeriod(), 2000ms);
        QVERIFY(!Settings().boolForKey(QStringLiteral("noUpdateCheck")));
        // Defaults are not written down: a later release's defaults reach the user.
        const QSettings file(QStringLiteral("Strataloom"), QStringLiteral("Strataloom"));
        for (const settings::Key* key : {&settings::kRetentionKeepAll, &settings::kRetentionMaxBytes})
            QVERIFY2(!file.contains(key->qtName()), key->name.data());
    }

    void aSettingsFileThatCannotBeWrittenIsSaidAndTheDialogStays()
    {
        const QString file = QSettings(QStringLiteral("Strataloom"), QStringLiteral("Strataloom")).fileName();
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QFile(file).remove();
        // A folder where the file should be: nothing can write it.
        QVERIFY(QDir().mkpath(file));
        m_dialog->show();
        spin("quietSpin")->setValue(1);
        m_dialog->accept();
        QVERIFY(m_dialog->isVisible());
        QVERIFY(m_dialog->findChild<QLabel*>("problemLabel")->isVisibleTo(m_dialog.get()));
        QVERIFY(QDir().rmdir(file));
    }
};

STRATALOOM_QTEST_MAIN(PreferencesDialogTest)
#include "PreferencesDialogTest.moc"
