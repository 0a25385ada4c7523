// Qt's headers come first: moc cannot parse <compare> when it meets it first.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include "AppDelegate.h"
#include "support/TestEnvironment.h"
#include "ui/DragView.h"

using namespace strataloom;

namespace {

class CountingAppDelegate : public AppDelegate {
public:
    void checkForUpdatesIfDue() override { ++checks; }
    int checks = 0;
};

QAction* action(AppDelegate& app, const char* name)
{
    return app.mainWindow()->findChild<QAction*>(QLatin1String(name));
}

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT
private slots:
    void launchingRunsTheUpdateCheckOnce()
    {
        CountingAppDelegate app;
        QCOMPARE(app.checks, 0);
        app.applicationDidFinishLaunching();
        QCOMPARE(app.checks, 1);
        app.applicationWillTerminate();
        QCOMPARE(app.checks, 1);
    }

    void theMainWindowIsWiredUp()
    {
        CountingAppDelegate app;
        auto* view = qobject_cast<DragView*>(app.mainWindow()->centralWidget());
        QVERIFY(view);
        QCOMPARE(view->delegate(), static_cast<DragViewDelegate*>(app.viewController()));

        // The update check finds its status item through the Help menu.
        auto* helpMenu = app.mainWindow()->findChild<QMenu*>(QStringLiteral("helpMenu"));
        QVERIFY(helpMenu);
        QStringList titles;
        for (QAction* item : helpMenu->actions())
            titles << item->text();
        QVERIFY(titles.contains(QStringLiteral("Update not checked")));
        QVERIFY(helpMenu->actions().contains(action(app, "openHelpAction")));
    }

    void eachHelpCommandOpensOneMoreWindow()
    {
        CountingAppDelegate app;
        QVERIFY(app.myHelpWindow.empty());
        action(app, "openHelpAction")->trigger();
        action(app, "openHelpAction")->trigger();
        QCOMPARE(app.myHelpWindow.size(), size_t(2));
        QVERIFY(app.myHelpWindow[0].get() != app.myHelpWindow[1].get());
        for (const auto& help : app.myHelpWindow) {
            QVERIFY(help->isVisible());
            QVERIFY(help->isWindow());
            QCOMPARE(help->parent(), nullptr);
        }

        app.myHelpWindow[0]->close();
        QCOMPARE(app.myHelpWindow.size(), size_t(2));
        QVERIFY(app.myHelpWindow[1]->isVisible());
    }

    void theHelpCoversWhatALinuxUserNeeds()
    {
        CountingAppDelegate app;
        app.openHelp();
        auto* text = app.myHelpWindow.back()->findChild<QTextBrowser*>();
        QVERIFY(text);
        const QString help = text->toPlainText();
        for (const char* needed : {"Report00000.pages", "~/.local/share/strataloom", "$XDG_DATA_HOME/strataloom",
                                   "strataloom-cli save-version FILE", "noUpdateCheck", "dateLastUpdateCheck",
                                   "updateCheckInt", "~/.config/Strataloom/Strataloom.conf", "12 hours"})
            QVERIFY2(help.contains(QLatin1String(needed)), needed);
    }

    // Last: it ends the application's event loop.
    void closingTheMainWindowQuitsWhileHelpIsOpen()
    {
        CountingAppDelegate app;
        app.mainWindow()->show();
        app.openHelp();
        QVERIFY(QTest::qWaitForWindowExposed(app.myHelpWindow.back().get()));

        QTimer::singleShot(0, app.mainWindow(), &QWidget::close);
        bool timedOut = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [&timedOut] {
            timedOut = true;
            QCoreApplication::exit(1);
        });
        watchdog.start(10000);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!timedOut);
        QVERIFY(!app.mainWindow()->isVisible());
    }
};

STRATALOOM_QTEST_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
