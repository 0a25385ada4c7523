// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "WatchedFoldersDialog.h"
#include "FileVersionStore.h"
#include "StoreLayout.h"
#include "WatchSettings.h"
#include "WatchState.h"
#include "WatcherService.h"
#include "WatcherUnit.h"
#include "support/TestEnvironment.h"
#endif

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

using namespace strataloom;
using namespace strataloom::test;

namespace {

// Stands in for the service manager, which tests do not reach.
struct FakeService final : WatcherService {
    std::optional<bool> state = false;
    std::string unavailable = "no session bus";
    bool refuse = false;
    std::vector<bool> switches;

    std::optional<bool> isSwitchedOn(std::string* error) override
    {
        if (!state && error)
            *error = unavailable;
        return state;
    }
    bool switchOn(bool on, std::string* error) override
    {
        switches.push_back(on);
        if (refuse) {
            *error = "the service manager refused";
            return false;
        }
        state = on;
        return true;
    }
};

} // namespace

class WatchedFoldersDialogTest : public QObject {
    Q_OBJECT

private:
    FakeService* m_service = nullptr;
    std::unique_ptr<WatchedFoldersDialog> m_dialog;
    std::optional<std::string> m_chosen;

    template <typename T> T* child(const char* name) const { return m_dialog->findChild<T*>(QLatin1String(name)); }
    QListWidget* list() const { return child<QListWidget>("folderList"); }
    QString problem() const
    {
        const QLabel* label = child<QLabel>("problemLabel");
        return label->isVisibleTo(m_dialog.get()) ? label->text() : QString();
    }
    // The folders as the dialog keeps them: exact bytes, in the order shown.
    std::vector<std::string> shown() const
    {
        std::vector<std::string> folders;
        for (int row = 0; row < list()->count(); ++row)
            folders.push_back(list()->item(row)->data(Qt::UserRole).toByteArray().toStdString());
        return folders;
    }

    void open()
    {
        auto service = std::make_unique<FakeService>();
        m_service = service.get();
        m_dialog = std::make_unique<WatchedFoldersDialog>(std::move(service));
        m_dialog->setFolderChooser([this](QWidget*) { return m_chosen; });
    }

private slots:
    void init()
    {
        WatchSettings settings;
        settings.setFolders({});
        QVERIFY(settings.save());
        open();
    }

    void foldersAreAddedAndRemovedInTheSettingsAsBytes()
    {
        const std::string plain = makeScratchFolder("plain");
        const std::string notUtf8 = makeScratchFolder("caf\xe9");
        writeFile(plain + "/file", "");
        for (const std::string& folder : {plain, notUtf8, plain + "/.", std::string()}) {
            m_chosen = folder.empty() ? std::nullopt : std::optional(folder);
            child<QPushButton>("addButton")->click();
        }
        // Added once each, as the watcher keeps them; a cancelled choice changes nothing.
        QCOMPARE(WatchSettings().folders(), (std::vector<std::string>{plain, notUtf8}));
        QCOMPARE(shown(), WatchSettings().folders());
        QVERIFY(problem().isEmpty());

        for (const std::string& bad : {plain + "/file", plain + "/missing"}) {
            m_chosen = bad;
            child<QPushButton>("addButton")->click();
            QVERIFY2(problem().contains(QString::fromStdString(bad)), qPrintable(problem()));
        }
        QCOMPARE(WatchSettings().folders().size(), 2u);

        list()->clearSelection();
        QVERIFY(!child<QPushButton>("removeButton")->isEnabled());
        list()->item(1)->setSelected(true);
        child<QPushButton>("removeButton")->click();
        QCOMPARE(WatchSettings().folders(), std::vector<std::string>{plain});
        QCOMPARE(shown(), std::vector<std::string>{plain});

        // The empty list says what it is for, and goes once a folder is there.
        auto* empty = child<QLabel>("emptyLabel");
        QVERIFY(!empty->isVisibleTo(m_dialog.get()));
        list()->item(0)->setSelected(true);
        child<QPushButton>("removeButton")->click();
        QVERIFY(empty->isVisibleTo(m_dialog.get()));
        QVERIFY(empty->text().startsWith(QStringLiteral("No folder is watched yet.")));
    }

    void theStatusFollowsTheWatchersLock()
    {
        const auto status = [this] { return child<QLabel>("statusLabel")->text(); };
        QVERIFY(status().contains(QStringLiteral("not running")));
        const store::StoreLayout store(FileVersionStore::defaultLocation());
        QVERIFY(makePrivateFolders(store.location()));
        const int lock = ::open(store.watcherLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0);
        m_dialog->refresh();
        QCOMPARE(status(), QStringLiteral("The watcher is running."));
        ::close(lock);
        m_dialog->refresh();
        QVERIFY(status().contains(QStringLiteral("not running")));
    }

    void theSwitchAsksTheServiceAndShowsWhatItSays()
    {
        auto* serviceSwitch = child<QCheckBox>("serviceSwitch");
        QVERIFY(serviceSwitch->isEnabled() && !serviceSwitch->isChecked());
        serviceSwitch->click();
        QVERIFY(serviceSwitch->isChecked());
        m_service->refuse = true;
        serviceSwitch->click();
        QCOMPARE(m_service->switches, (std::vector<bool>{true, false}));
        QVERIFY(serviceSwitch->isChecked());
        QCOMPARE(problem(), QStringLiteral("the service manager refused"));

        m_service->state.reset();
        m_dialog->refresh();
        QVERIFY(!serviceSwitch->isEnabled());
        QVERIFY(serviceSwitch->toolTip().endsWith(QStringLiteral("no session bus")));
        // Without the switch, the dialog itself says why, and how to start the watcher for good or for now.
        const QString status = child<QLabel>("statusLabel")->text();
        QVERIFY2(status.contains(QStringLiteral("Can't switch the watcher from here: no session bus.")),
                 qPrintable(status));
        QVERIFY2(status.contains(QLatin1Char('\n') + QString::fromStdString(startWatcherCommand()) + QLatin1Char('\n')),
                 qPrintable(status));
        QVERIFY2(status.endsWith(QStringLiteral("\nstrataloom-cli watch run")), qPrintable(status));
    }
};

STRATALOOM_QTEST_MAIN(WatchedFoldersDialogTest)
#include "WatchedFoldersDialogTest.moc"
