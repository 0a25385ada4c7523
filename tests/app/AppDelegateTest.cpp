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
        QVERIFY(view);
        QCOMPARE(view->delegate(), static_cast<DragViewDelegate*>(app.viewController()));
        // The update check finds its status item through the Help menu.
        auto* helpMenu = app.mainWindow()->findChild<QMenu*>(QStringLiteral("helpMenu"));
        QVERIFY(helpMenu);
        QStringList titles;
        for (QAction* item : helpMenu->actions())
            titles << item->text();
        QVERIFY(titles.contains(QStringLiteral("Update not checked")));
    }

    void eachHelpCommandOpensOneMoreWindow()
    {
        CountingAppDelegate app;
        auto* openHelp = app.mainWindow()->findChild<QAction*>(QStringLiteral("openHelpAction"));
        openHelp->trigger();
        openHelp->trigger();
        QCOMPARE(app.myHelpWindow.size(), size_t(2));
        QVERIFY(app.myHelpWindow[0].get() != app.myHelpWindow[1].get());
        for (const auto& help : app.myHelpWindow) {
            QVERIFY(help->isVisible());
            QCOMPARE(help->parent(), nullptr);
        }
        const QString text = app.myHelpWindow[0]->findChild<QTextBrowser*>()->toPlainText();
        QVERIFY(text.contains(QStringLiteral("strataloom-cli save-version FILE")));
        QVERIFY(text.contains(QStringLiteral("~/.config/Strataloom/Strataloom.conf")));

        app.myHelpWindow[0]->close();
        QCOMPARE(app.myHelpWindow.size(), size_t(2));
    }

    // Last: it ends the application's event loop.
    void closingTheMainWindowQuitsWhileHelpIsOpen()
    {
        CountingAppDelegate app;
        app.mainWindow()->show();
        app.openHelp();
        QVERIFY(QTest::qWaitForWindowExposed(app.myHelpWindow.back().get()));

        QTimer::singleShot(0, app.mainWindow(), &QWidget::close);
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        watchdog.start(10000);
        QCOMPARE(QApplication::exec(), 0);
    }
};

STRATALOOM_QTEST_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
