// Qt's headers come first: moc cannot parse <compare> when it meets it first.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include "AppDelegate.h"
#include "DragView.h"
#include "WatchedFoldersDialog.h"
#include "WatcherUnit.h"
#include "support/TestEnvironment.h"

#include <algorithm>

using namespace strataloom;

namespace {

class CountingAppDelegate : public AppDelegate {
public:
    void checkForUpdatesIfDue() override { ++checks; }
    int checks = 0;
};

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT
private slots:
    void launchingChecksOnceAndTheWindowIsWiredUp()
    {
        CountingAppDelegate app;
        app.applicationDidFinishLaunching();
        app.applicationWillTerminate();
        QCOMPARE(app.checks, 1);
        auto* view = qobject_cast<DragView*>(app.mainWindow()->centralWidget());
        QVERIFY(view && view->delegate() == app.viewController());
        // The update check finds its status item through the Help menu; it is a
        // status, which the user cannot tick.
        auto* helpMenu = app.mainWindow()->findChild<QMenu*>(QStringLiteral("helpMenu"));
        QVERIFY(helpMenu);
        const QList<QAction*> items = helpMenu->actions();
#ifdef STRATALOOM_UPDATE_CHECK
        const QString statusText = QStringLiteral("Update not checked");
#else
        const QString statusText = kUpdatesFromDistribution;
#endif
        const auto status = std::ranges::find_if(items, [&](QAction* item) { return item->text() == statusText; });
        QVERIFY(status != items.end());
        (*status)->trigger();
        QVERIFY(!(*status)->isChecked() && !(*status)->isEnabled());
    }

    void eachHelpCommandOpensOneMoreWindow()
    {
        CountingAppDelegate app;
        auto* openHelp = app.mainWindow()->findChild<QAction*>(QStringLiteral("openHelpAction"));
        openHelp->trigger();
        openHelp->trigger();
        QCOMPARE(app.myHelpWindow.size(), size_t(2));
        for (const auto& help : app.myHelpWindow)
            QVERIFY(help->isVisible() && !help->parent());
        const QString text = app.myHelpWindow[0]->findChild<QTextBrowser*>()->toPlainText();
        QVERIFY(text.contains(QStringLiteral("strataloom-cli save-version FILE")));
        QVERIFY(text.contains(QString::fromStdString("\n" + strataloom::startWatcherCommand() + "\n")));
        // The menu item the help names is the one the window has.
        QVERIFY(text.contains(app.mainWindow()->findChild<QAction*>(QStringLiteral("updateStatusAction"))->text()));
#ifdef STRATALOOM_UPDATE_CHECK
        QVERIFY(text.contains(QStringLiteral("~/.config/Strataloom/Strataloom.conf")));
#else
        // Without the update check its settings are not offered, and the rest of the help stays.
        QVERIFY(!text.contains(QStringLiteral("noUpdateCheck")));
        QVERIFY(text.contains(QStringLiteral("Finding the versions of a moved or deleted file")));
#endif
    }

    void helpWindowsCloseWithEscapeAndCtrlW()
    {
        CountingAppDelegate app;
        for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            app.openHelp();
            HelpWindowController* help = app.myHelpWindow.back().get();
            QVERIFY(QTest::qWaitForWindowActive(help));
            QTest::keySequence(help, keys);
            QTRY_VERIFY2(!help->isVisible(), qPrintable(keys.toString()));
        }
    }

    void watchedFoldersOpensOneDialogWhoseSwitchSaysWhyItIsOff()
    {
        // No session bus to reach: the user's own service manager is never asked.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/strataloom-test-bus");
        CountingAppDelegate app;
        auto* open = app.mainWindow()->findChild<QAction*>(QStringLiteral("watchedFoldersAction"));
        open->trigger();
        open->trigger();
        const QList<WatchedFoldersDialog*> dialogs = app.mainWindow()->findChildren<WatchedFoldersDialog*>();
        QCOMPARE(dialogs.size(), 1);
        QVERIFY(dialogs.first()->isVisible());
        auto* serviceSwitch = dialogs.first()->findChild<QCheckBox*>(QStringLiteral("serviceSwitch"));
        QVERIFY(!serviceSwitch->isEnabled());
        QVERIFY2(serviceSwitch->toolTip().contains(QStringLiteral("session bus")),
                 qPrintable(serviceSwitch->toolTip()));
    }

    // Last: it ends the application's event loop.
    void closingTheMainWindowQuitsWhileHelpIsOpen()
    {
        CountingAppDelegate app;
        app.mainWindow()->show();
        app.openHelp();
        QVERIFY(QTest::qWaitForWindowExposed(app.myHelpWindow.back().get()));

        QTimer::singleShot(0, app.mainWindow(), &QWidget::close);
        QTimer::singleShot(10'000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QApplication::exec(), 0);
    }
};

STRATALOOM_QTEST_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
