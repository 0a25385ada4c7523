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

namespace {

const QString kOfferedUrl = kTestLocation1 + QStringLiteral("Strataloom-2.0.tar.gz");

QByteArray offeringManifest()
{
    return xmlManifest({{QStringLiteral("Strataloom"), QStringLiteral("2.0"), kOfferedUrl}});
}

} // namespace

class UpdateFetchTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<HttpsTestServer> m_server;

    // Runs one check against the test server and waits for its end.
    void runCheck(FakeCheck& launch, const QUrl& manifestURL)
    {
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.manifestURL = manifestURL;
        configuration.downloadLocations = {kTestLocation1, kTestLocation2};
        configuration.infoDictionary = [] { return QVariantMap{{kShortVersionKey, QStringLiteral("1.4")}}; };
        auto fake = std::make_unique<FakeUpdateUi>();
        fake->answer = [](const Alert&) { return 1; };
        launch.ui = fake.get();
        launch.check = std::make_unique<UpdateCheck>(std::move(fake), configuration);
        QSignalSpy ended(launch.check.get(), &UpdateCheck::checkEnded);
        launch.check->checkForUpdates();
        QVERIFY(ended.wait(20000));
        // Nothing more arrives after the end.
        QTest::qWait(50);
        QCOMPARE(ended.count(), 1);
    }

private slots:
    void initTestCase()
    {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        m_server = std::make_unique<HttpsTestServer>();
        QVERIFY2(m_server->isListening(), "the openssl command could not make a certificate");
    }

    void response_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("offered");

        const QByteArray xml = offeringManifest();
        const QByteArray binary = binaryManifest({{QStringLiteral("Strataloom"), QStringLiteral("2.0"), kOfferedUrl}});
        QTest::newRow("200 text/xml") << 200 << QByteArray("text/xml") << xml << true;
        QTest::newRow("299 text/xml") << 299 << QByteArray("text/xml") << xml << true;
        QTest::newRow("200 text/plain, binary form") << 200 << QByteArray("text/plain") << binary << true;
        QTest::newRow("parameters are not part of the type")
            << 200 << QByteArray("text/xml; charset=utf-8") << xml << true;
        QTest::newRow("304") << 304 << QByteArray("text/xml") << xml << false;
        QTest::newRow("404") << 404 << QByteArray("text/xml") << xml << false;
        QTest::newRow("500") << 500 << QByteArray("text/xml") << xml << false;
        QTest::newRow("application/xml") << 200 << QByteArray("application/xml") << xml << false;
        QTest::newRow("application/octet-stream, binary form")
            << 200 << QByteArray("application/octet-stream") << binary << false;
        QTest::newRow("type differs in case") << 200 << QByteArray("Text/XML") << xml << false;
        QTest::newRow("no type") << 200 << QByteArray() << xml << false;
    }

    void response()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, offered);

        m_server->setResponse({status, contentType, body});
        const qsizetype before = m_server->requests().size();
        FakeCheck launch;
        runCheck(launch, m_server->url());

        QCOMPARE(m_server->requests().size(), before + 1);
        QCOMPARE(m_server->requests().last(), QByteArray("GET /manifest.plist HTTP/1.1"));
        if (offered) {
            QCOMPARE(launch.ui->alerts.size(), 1);
            QCOMPARE(launch.ui->alerts.first().messageText,
                     QStringLiteral("An update to this app to version 2.0 is available."));
            QCOMPARE(launch.ui->opened, QList<QUrl>{QUrl(kOfferedUrl)});
        } else {
            QVERIFY(launch.ui->alerts.isEmpty());
            QVERIFY(launch.ui->opened.isEmpty());
        }
    }

    void unreadableBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("garbage") << QByteArray("this is not a property list\n");
        QTest::newRow("html") << QByteArray("<html><body>Not here</body></html>");
    }

    void unreadableBodies()
    {
        QFETCH(QByteArray, body);
        m_server->setResponse({200, "text/plain", body});
        FakeCheck launch;
        runCheck(launch, m_server->url());

        QCOMPARE(launch.ui->alerts.size(), 1);
        QVERIFY(isErrorAlert(launch.ui->alerts.first(), kUnreadable));
        QVERIFY(launch.ui->opened.isEmpty());
    }

    void transportFailuresAreSilent_data()
    {
        QTest::addColumn<bool>("closedPort");
        QTest::addColumn<bool>("declared");
        QTest::newRow("nothing listens") << true << false;
        QTest::newRow("body over the size bound, length declared") << false << true;
        QTest::newRow("body over the size bound, length not declared") << false << false;
    }

    void transportFailuresAreSilent()
    {
        QFETCH(bool, closedPort);
        QFETCH(bool, declared);
        QUrl url = m_server->url();
        if (closedPort) {
            QTcpServer unused;
            QVERIFY(unused.listen(QHostAddress::LocalHost));
            url.setPort(unused.serverPort());
            unused.close();
        } else {
            QByteArray body = offeringManifest();
            body.append(QByteArray(kMaxManifestBytes, ' '));
            m_server->setResponse({200, "text/xml", body, declared});
        }
        FakeCheck launch;
        runCheck(launch, url);

        QVERIFY(launch.ui->alerts.isEmpty());
        QVERIFY(launch.ui->opened.isEmpty());
    }

    void versionSeam_data()
    {
        QTest::addColumn<QVariantMap>("info");
        QTest::addColumn<bool>("alerted");
        QTest::newRow("no information") << QVariantMap() << false;
        QTest::newRow("no version") << QVariantMap{{QStringLiteral("CFBundleName"), QStringLiteral("Strataloom")}}
                                    << true;
        QTest::newRow("version that is not text") << QVariantMap{{kShortVersionKey, 14}} << true;
    }

    // Without a running version nothing is fetched.
    void versionSeam()
    {
        QFETCH(QVariantMap, info);
        QFETCH(bool, alerted);
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.manifestURL = m_server->url();
        configuration.infoDictionary = [info] { return info; };
        auto fake = std::make_unique<FakeUpdateUi>();
        FakeUpdateUi* ui = fake.get();
        UpdateCheck check(std::move(fake), configuration);
        QSignalSpy ended(&check, &UpdateCheck::checkEnded);
        const qsizetype before = m_server->requests().size();

        check.checkForUpdates();

        QCOMPARE(ended.count(), 1);
        QCOMPARE(ui->alerts.size(), alerted ? 1 : 0);
        if (alerted)
            QVERIFY(isErrorAlert(ui->alerts.first(), QStringLiteral("Can't check for updates:\nNo app version string found.")));
        QTest::qWait(100);
        QCOMPARE(m_server->requests().size(), before);
    }

    // The build's addresses are HTTPS, and the standard version is the build's.
    void standardConfiguration()
    {
        const UpdateConfiguration standard = UpdateConfiguration::standard();
        QCOMPARE(standard.manifestURL.scheme(), QStringLiteral("https"));
        QCOMPARE(standard.downloadLocations.size(), 2);
        for (const QString& location : standard.downloadLocations) {
            QVERIFY(location.startsWith(QStringLiteral("https://")));
            QVERIFY(location.endsWith(QLatin1Char('/')));
        }
        QCOMPARE(standard.infoDictionary().value(kShortVersionKey).toString(), QStringLiteral(STRATALOOM_VERSION));
    }
};

STRATALOOM_QTEST_MAIN(UpdateFetchTest)
#include "UpdateFetchTest.moc"
