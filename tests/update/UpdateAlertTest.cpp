#include "AppDelegate.h"
#include "MainWindowUpdateUi.h"
#include "UpdateTestSupport.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>

using namespace strataloom;
using namespace strataloom::test;

// The update check's alerts through real message boxes, answered by finding
// and clicking their buttons; the browser is replaced by a URL handler.
class UpdateAlertTest : public QObject {
    Q_OBJECT
public slots:
    void openInBrowser(const QUrl& url) { m_opened.append(url); }

private:
    QList<QUrl> m_opened;

    // Runs `answer` on the message box once it is shown modally.
    static void whenAlertShown(std::function<void(QMessageBox*)> answer)
    {
        auto* poll = new QTimer(qApp);
        QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                poll->deleteLater();
                poll->stop();
                answer(box);
                // A failed check leaves the box open: close it so the test ends.
                if (box->isVisible())
                    box->reject();
            }
        });
        poll->start(10);
    }

    static QPushButton* buttonTitled(QMessageBox* box, const QString& title)
    {
        for (QAbstractButton* button : box->buttons())
            if (button->text() == title)
                return qobject_cast<QPushButton*>(button);
        return nullptr;
    }

    static std::unique_ptr<UpdateCheck> checkReportingTo(QMainWindow* window)
    {
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.downloadLocations = {kTestLocation1, kTestLocation2};
        return std::make_unique<UpdateCheck>(std::make_unique<MainWindowUpdateUi>(window), configuration);
    }

private slots:
    void initTestCase() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openInBrowser"); }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }
    void init() { m_opened.clear(); }

    // The window built from the application's .ui file carries the status item.
    void mainWindowHasTheStatusItem()
    {
        AppDelegate delegate;
        const MainWindowUpdateUi ui(delegate.mainWindow());
        QAction* status = nullptr;
        for (QAction* item : ui.helpMenuItems())
            if (item->text() == QStringLiteral("Update not checked"))
                status = item;
        QVERIFY(status);
        QVERIFY(status->isCheckable());
        QVERIFY(!status->isChecked());
    }

    void offerAnsweredDownload()
    {
        QMainWindow window;
        QMenu* help = window.menuBar()->addMenu(QStringLiteral("&Help"));
        help->setObjectName(QStringLiteral("helpMenu"));
        QAction* status = help->addAction(QStringLiteral("Update not checked"));
        const QString url = kTestLocation1 + QStringLiteral("Strataloom-2.0.tar.gz");
        const QString version = QStringLiteral("2.0 <b>beta</b>");

        bool answered = false;
        whenAlertShown([&](QMessageBox* box) {
            answered = true;
            QCOMPARE(box->windowModality(), Qt::ApplicationModal);
            QCOMPARE(box->icon(), QMessageBox::Information);
            QCOMPARE(box->text(), QStringLiteral("An update to this app to version 2.0 <b>beta</b> is available."));
            QCOMPARE(box->textFormat(), Qt::PlainText);
            QCOMPARE(box->informativeText(),
                     QStringLiteral("You are currently running Strataloom version 1.4.\nPlease choose whether to "
                                    "download this update now in your default browser."));
            QPushButton* ignore = buttonTitled(box, QStringLiteral("Ignore"));
            QPushButton* download = buttonTitled(box, QStringLiteral("Download"));
            QVERIFY(ignore && download);
            QCOMPARE(box->buttons().size(), 2);
            QCOMPARE(box->defaultButton(), ignore);
            QVERIFY(ignore->mapToGlobal(QPoint()).x() < download->mapToGlobal(QPoint()).x());
            QVERIFY(status->isChecked());
            download->click();
        });
        checkReportingTo(&window)->offerUpdate(xmlManifest({{QStringLiteral("Strataloom"), version, url}}),
                                                QStringLiteral("1.4"));
        QVERIFY(answered);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(url)});
        QCOMPARE(status->text(), QStringLiteral("Checked for update"));
    }

    // Return takes the default button, "Ignore": nothing is opened.
    void offerAnsweredWithReturn()
    {
        bool answered = false;
        whenAlertShown([&](QMessageBox* box) {
            answered = true;
            QTest::keyClick(box, Qt::Key_Return);
        });
        checkReportingTo(nullptr)->offerUpdate(
            xmlManifest({{QStringLiteral("Strataloom"), QStringLiteral("1.3"), kTestLocation2 + QStringLiteral("a.zip")}}),
            QStringLiteral("1.4"));
        QVERIFY(answered);
        QVERIFY(m_opened.isEmpty());
    }

    void errorAlert()
    {
        bool answered = false;
        whenAlertShown([&](QMessageBox* box) {
            answered = true;
            QCOMPARE(box->windowModality(), Qt::ApplicationModal);
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(box->text(), QStringLiteral("An error occurred:"));
            QCOMPARE(box->informativeText(), QStringLiteral("Update Property List has no entries."));
            QCOMPARE(box->buttons().size(), 1);
            QPushButton* ok = buttonTitled(box, QStringLiteral("OK"));
            QVERIFY(ok);
            ok->click();
        });
        checkReportingTo(nullptr)->offerUpdate(xmlManifest({}), QStringLiteral("1.4"));
        QVERIFY(answered);
    }
};

STRATALOOM_QTEST_MAIN(UpdateAlertTest)
#include "UpdateAlertTest.moc"
