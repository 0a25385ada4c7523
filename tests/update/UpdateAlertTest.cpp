#include "AppDelegate.h"
#include "MainWindowUpdateUi.h"
#include "UpdateTestSupport.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace strataloom;
using namespace strataloom::test;

// The alerts through real message boxes in the application's main window,
// answered by finding and clicking their buttons; a URL handler stands in for
// the browser.
class UpdateAlertTest : public QObject {
    Q_OBJECT
public slots:
    void openInBrowser(const QUrl& url) { m_opened.append(url); }

private:
    QList<QUrl> m_opened;

    // Runs `answer` on the message box once it is shown, then closes it if a
    // failed check left it open.
    static void whenShown(const std::function<void(QMessageBox*)>& answer)
    {
        auto* poll = new QTimer(qApp);
        QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                poll->deleteLater();
                poll->stop();
                answer(box);
                if (box->isVisible())
                    box->reject();
            }
        });
        poll->start(10);
    }

    static QAbstractButton* button(QMessageBox* box, const QString& title)
    {
        for (QAbstractButton* candidate : box->buttons())
            if (candidate->text() == title)
                return candidate;
        return nullptr;
    }

    static void evaluate(AppDelegate& delegate, const QByteArray& body)
    {
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.downloadLocations = {kTestLocation1};
        UpdateCheck(std::make_unique<MainWindowUpdateUi>(delegate.mainWindow()), configuration)
            .offerUpdate(body, QStringLiteral("1.4"));
    }

    // The status item of the main window's Help menu.
    static QAction* statusItem(AppDelegate& delegate)
    {
        auto* item = delegate.mainWindow()->findChild<QAction*>(QStringLiteral("updateStatusAction"));
        return MainWindowUpdateUi(delegate.mainWindow()).helpMenuItems().contains(item) ? item : nullptr;
    }

private slots:
    void initTestCase() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openInBrowser"); }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }
    void init() { m_opened.clear(); }

    void offerAnsweredDownload()
    {
        AppDelegate delegate;
        QAction* status = statusItem(delegate);
        QVERIFY(status && status->text() == QStringLiteral("Update not checked") && !status->isChecked());
        const QString url = kTestLocation1 + QStringLiteral("Strataloom-2.0.tar.gz");
        bool shown = false;
        whenShown([&](QMessageBox* box) {
            shown = true;
            QCOMPARE(box->windowModality(), Qt::ApplicationModal);
            QCOMPARE(box->icon(), QMessageBox::Information);
            // The manifest's version is shown as it is, never as markup.
            QCOMPARE(box->textFormat(), Qt::PlainText);
            QCOMPARE(box->text(), QStringLiteral("An update to this app to version 2.0 <b>beta</b> is available."));
            QCOMPARE(box->informativeText(),
                     QStringLiteral("You are currently running Strataloom version 1.4.\nPlease choose whether to "
                                    "download this update now in your default browser."));
            QAbstractButton* ignore = button(box, QStringLiteral("Ignore"));
            QAbstractButton* download = button(box, QStringLiteral("Download"));
            QVERIFY(ignore && download && box->buttons().size() == 2);
            QCOMPARE(box->defaultButton(), ignore);
            QVERIFY(ignore->mapToGlobal(QPoint()).x() < download->mapToGlobal(QPoint()).x());
            QVERIFY(status->isChecked());
            download->click();
        });
        evaluate(delegate, manifest({{QStringLiteral("Strataloom"), QStringLiteral("2.0 <b>beta</b>"), url}}));
        QVERIFY(shown);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(url)});
        QCOMPARE(status->text(), QStringLiteral("Checked for update"));
    }

    void errorAlert()
    {
        AppDelegate delegate;
        bool shown = false;
        whenShown([&](QMessageBox* box) {
            shown = true;
            QCOMPARE(box->windowModality(), Qt::ApplicationModal);
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(box->text(), QStringLiteral("An error occurred:"));
            QCOMPARE(box->informativeText(), QStringLiteral("Update Property List has no entries."));
            QCOMPARE(box->buttons().size(), 1);
            QAbstractButton* ok = button(box, QStringLiteral("OK"));
            QVERIFY(ok);
            ok->click();
        });
        evaluate(delegate, manifest({}));
        QVERIFY(shown);
    }
};

STRATALOOM_QTEST_MAIN(UpdateAlertTest)
#include "UpdateAlertTest.moc"
