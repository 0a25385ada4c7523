#include "HttpsTestServer.h"
#include "UpdateTestSupport.h"
#include "support/TestEnvironment.h"
#include "update/ManifestReader.h"

#include <QApplication>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using namespace strataloom;
using namespace strataloom::test;

// The fetch against an HTTPS server in this process: only a 2xx response typed
// text/xml or text/plain reaches the evaluation; every other outcome ends the
// check silently.
class UpdateFetchTest : public QObject {
    Q_OBJECT
private:
    HttpsTestServer m_server;

private slots:
    void initTestCase()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        QVERIFY2(m_server.isListening(), "the openssl command could not make a certificate");
    }

    void fetch_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("declareLength");
        QTest::addColumn<bool>("closedPort");
        QTest::addColumn<QStringList>("alerts");
        const QString url = kTestLocation1 + QStringLiteral("Strataloom-2.0.tar.gz");
        const QByteArray xml = manifest({{QStringLiteral("Strataloom"), QStringLiteral("2.0"), url}});
        const QByteArray binary = manifest({{QStringLiteral("Strataloom"), QStringLiteral("2.0"), url}}, true);
        const QStringList offered{QStringLiteral("An update to this app to version 2.0 is available.")};
        const QStringList unreadable{QStringLiteral("Error in update Property List.")};
        const QStringList silent;

        QTest::newRow("200 text/xml") << 200 << QByteArray("text/xml") << xml << true << false << offered;
        QTest::newRow("299 text/xml") << 299 << QByteArray("text/xml") << xml << true << false << offered;
        QTest::newRow("text/plain, binary form") << 200 << QByteArray("text/plain") << binary << true << false << offered;
        QTest::newRow("with parameters") << 200 << QByteArray("text/xml; charset=utf-8") << xml << true << false
                                         << offered;
        QTest::newRow("304") << 304 << QByteArray("text/xml") << xml << true << false << silent;
        QTest::newRow("404") << 404 << QByteArray("text/xml") << xml << true << false << silent;
        QTest::newRow("application/xml") << 200 << QByteArray("application/xml") << xml << true << false << silent;
        QTest::newRow("type in other case") << 200 << QByteArray("Text/XML") << xml << true << false << silent;
        QTest::newRow("no type") << 200 << QByteArray() << xml << true << false << silent;
        QTest::newRow("garbage") << 200 << QByteArray("text/plain") << QByteArray("no plist") << true << false
                                 << unreadable;
        QTest::newRow("empty body") << 200 << QByteArray("text/xml") << QByteArray() << true << false << unreadable;
        QTest::newRow("nothing listens") << 200 << QByteArray("text/xml") << xml << true << true << silent;
        const QByteArray oversized = xml + QByteArray(kMaxManifestBytes, ' ');
        QTest::newRow("oversized, length declared") << 200 << QByteArray("text/xml") << oversized << true << false
                                                    << silent;
        QTest::newRow("oversized, length undeclared") << 200 << QByteArray("text/xml") << oversized << false << false
                                                      << silent;
    }

    void fetch()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, declareLength);
        QFETCH(bool, closedPort);
        QFETCH(QStringList, alerts);
        m_server.setResponse({status, contentType, body, declareLength});
        QUrl manifestURL = m_server.url();
        if (closedPort) {
            QTcpServer unused;
            QVERIFY(unused.listen(QHostAddress::LocalHost));
            manifestURL.setPort(unused.serverPort());
        }
        FakeUpdateUi* ui = nullptr;
        const auto check = makeCheck(ui, [&](UpdateConfiguration& configuration) {
            configuration.manifestURL = manifestURL;
        });
        ui->answer = 1;
        const qsizetype requests = m_server.requests().size();
        QSignalSpy ended(check.get(), &UpdateCheck::checkEnded);

        check->checkForUpdates();
        QVERIFY(ended.wait(20'000));

        QCOMPARE(ui->summary(), alerts);
        const bool offered = !alerts.isEmpty() && alerts.first().startsWith(QStringLiteral("An update"));
        QCOMPARE(ui->opened.size(), offered ? 1 : 0);
        if (!closedPort) {
            QCOMPARE(m_server.requests().size(), requests + 1);
            QCOMPARE(m_server.requests().last(), QByteArray("GET /manifest.plist HTTP/1.1"));
        }
    }
};

STRATALOOM_QTEST_MAIN(UpdateFetchTest)
#include "UpdateFetchTest.moc"
