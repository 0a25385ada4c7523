#include "AppDelegate.h"
#include "MainWindowUpdateUi.h"
#include "ManifestReader.h"
#include "UpdateCheck.h"
#include "support/TestEnvironment.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSslKey>
#include <QSslServer>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <random>

using namespace strataloom;

namespace {

const QString kApp = QStringLiteral("Strataloom");
const QString kLocation1 = QStringLiteral("https://downloads.test.example/strataloom/");
const QString kLocation2 = QStringLiteral("https://mirror.test.example/apps/strataloom/");
const QString kUrl = kLocation1 + QStringLiteral("Strataloom-2.0.tar.gz");
const QString kUrl2 = kLocation2 + QStringLiteral("get?v=1.3&arch=x86_64");
const QString kRunning = QStringLiteral("1.4-b\u00e9ta");
const QStringList kUnreadable{QStringLiteral("Error in update Property List.")};

QString offerOf(const QString& version)
{
    return "An update to this app to version " + version + " is available.";
}

QByteArray xmlDocument(const QByteArray& content)
{
    return "<?xml version=\"1.0\"?><plist>" + content + "</plist>";
}

// Entries of AppName, Version and URL.
QByteArray manifest(const QList<QStringList>& entries)
{
    QString array;
    for (const QStringList& entry : entries)
        array += QStringLiteral("<dict><key>AppName</key><string>%1</string><key>Version</key><string>%2</string>"
                                "<key>URL</key><string>%3</string></dict>")
                     .arg(entry[0].toHtmlEscaped(), entry[1].toHtmlEscaped(), entry[2].toHtmlEscaped());
    return xmlDocument("<array>" + array.toUtf8() + "</array>");
}

// An object of a binary property list: the marker of `type` (0x4 data, 0x5
// ASCII string, 0xA array, 0xD dictionary) holds `length`, or from 15 on a
// two-byte integer after it does.
QByteArray binaryObject(int type, qsizetype length, const QByteArray& content)
{
    QByteArray object(1, char(type << 4 | int(std::min<qsizetype>(length, 15))));
    if (length >= 15)
        object += '\x11' + QByteArray(1, char(length >> 8)) + char(length);
    return object + content;
}

// A binary property list whose root is the first of `objects`; offsets take
// two bytes and references one.
QByteArray binaryPlist(const QList<QByteArray>& objects)
{
    QByteArray body = "bplist00", offsets, trailer(32, '\0');
    for (const QByteArray& object : objects) {
        offsets += QByteArray(1, char(body.size() >> 8)) + char(body.size());
        body += object;
    }
    trailer[6] = 2;
    trailer[7] = 1;
    qToBigEndian<quint64>(objects.size(), trailer.data() + 8);
    qToBigEndian<quint64>(body.size(), trailer.data() + 24);
    return body + offsets + trailer;
}

// An entry offering 2.0 at kUrl2, padding data, and one 4095-byte string
// referenced 64 times by an array that the root references 64 times: about
// 8 KB that expand to `expanded` bytes of strings and data.
QByteArray sharedStringManifest(qsizetype expanded)
{
    const QList<QByteArray> texts{"AppName", kApp.toUtf8(), "Version", "2.0", "URL", kUrl2.toUtf8()};
    const qsizetype shared = 4095, references = 64;
    qsizetype padding = expanded - shared * references * references;
    QList<QByteArray> objects{binaryObject(0xA, 2 + references, "\x01\x08" + QByteArray(references, '\x09')),
                              binaryObject(0xD, 3, "\x02\x04\x06\x03\x05\x07")};
    for (const QByteArray& text : texts) {
        objects += binaryObject(0x5, text.size(), text);
        padding -= text.size();
    }
    objects += binaryObject(0x4, padding, QByteArray(padding, '\xff'));
    objects += binaryObject(0xA, references, QByteArray(references, '\x0a'));
    objects += binaryObject(0x5, shared, QByteArray(shared, 'x'));
    return binaryPlist(objects);
}

// No length is declared: the body ends where the connection closes.
QByteArray response(int status, const QByteArray& type, const QByteArray& body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Status\r\nContent-Type: " + type + "\r\n\r\n" + body;
}

// Records one line per alert (an offer's message, an error's detail) and the
// URLs opened; answers every alert with `answer`.
struct FakeUi : UpdateUi {
    int runModal(const Alert& alert) override
    {
        const QString buttons = alert.buttons.join('|');
        const bool offer = alert.style == AlertStyle::Informational && buttons == "Ignore|Download";
        const bool error =
            alert.style == AlertStyle::Critical && buttons == "OK" && alert.messageText == "An error occurred:";
        alerts += offer ? alert.messageText : error ? alert.informativeText : QStringLiteral("unexpected alert");
        return answer;
    }
    QList<QAction*> helpMenuItems() const override { return items; }
    void openUrl(const QUrl& url) override { opened += url.toString(QUrl::FullyEncoded); }

    int answer = 1;
    QStringList alerts, opened;
    QList<QAction*> items;
};

// Stored settings (NaN: absent; elapsed: since the last check), whether a
// check runs, and the interval written back.
struct Schedule {
    bool off;
    double stored, elapsed;
    bool due;
    double written;
};

// The server's response, what follows, and how the user and the Help menu are set.
struct Check {
    QByteArray response;
    QStringList alerts, opened;
    int marked = 1, answer = 1;
    bool statusItem = true;
};

} // namespace

Q_DECLARE_METATYPE(Schedule)
Q_DECLARE_METATYPE(Check)

class UpdateTest : public QObject {
    Q_OBJECT
    QSslServer m_server;
    QByteArray m_response, m_request, m_binary;
    QStringList m_browser;

    UpdateConfiguration configuration() const
    {
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.manifestURL = QUrl(QString("https://127.0.0.1:%1/manifest.plist").arg(m_server.serverPort()));
        // The last location lacks its closing "/": it must still pin the host.
        configuration.downloadLocations = {kLocation1, kLocation2, QStringLiteral("https://pinned.test.example")};
        configuration.infoDictionary = [] { return QVariantMap{{kShortVersionKey, kRunning}}; };
        return configuration;
    }

    std::unique_ptr<UpdateCheck> makeCheck(FakeUi*& ui, UpdateConfiguration configuration)
    {
        auto fake = std::make_unique<FakeUi>();
        ui = fake.get();
        return std::make_unique<UpdateCheck>(std::move(fake), configuration);
    }

public slots:
    void openInBrowser(const QUrl& url) { m_browser += url.toString(QUrl::FullyEncoded); }

private slots:
    // An HTTPS server on 127.0.0.1 with a throwaway certificate that only this
    // process trusts.
    void initTestCase()
    {
        QProcess openssl;
        openssl.startCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=test "
                             "-addext subjectAltName=IP:127.0.0.1 -keyout /dev/stdout -out /dev/stdout");
        QVERIFY(openssl.waitForFinished(60'000) && openssl.exitCode() == 0);
        const QByteArray pem = openssl.readAllStandardOutput();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificate(QSslCertificate(pem));
        QSslConfiguration::setDefaultConfiguration(tls);
        tls.setLocalCertificate(QSslCertificate(pem));
        tls.setPrivateKey(QSslKey(pem, QSsl::Ec));
        m_server.setSslConfiguration(tls);
        // The client writes its whole request at once: answer its first line.
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QIODevice::readyRead, socket, [this, socket] {
                    m_request = socket->readLine().trimmed();
                    socket->write(m_response);
                    socket->disconnectFromHost();
                });
            }
        });
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        QFile binary(QStringLiteral(STRATALOOM_UPDATE_TEST_DATA "/manifest.binary.plist"));
        QVERIFY(binary.open(QIODevice::ReadOnly));
        m_binary = binary.readAll();
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    void init() { QSettings(kApp, kApp).clear(); }

    void schedule_data()
    {
        QTest::addColumn<Schedule>("row");
        const double absent = qQNaN();
        QTest::newRow("empty defaults") << Schedule{false, absent, absent, true, 43200.0};
        QTest::newRow("switched off") << Schedule{true, 0.5, absent, false, 43200.0};
        QTest::newRow("0.5 becomes 12 hours") << Schedule{false, 0.5, 43200.0, false, 43200.0};
        QTest::newRow("1.0 is kept") << Schedule{false, 1.0, 1.5, true, 1.0};
        QTest::newRow("exactly the interval") << Schedule{false, 3600.0, 3600.0, false, 3600.0};
        QTest::newRow("last check in the future") << Schedule{false, 3600.0, -1e6, false, 3600.0};
    }

    // A check shows itself through the alert about the missing version, and
    // the clock moves 7 seconds while an alert is shown: the time stored must
    // be the one after it.
    void schedule()
    {
        QFETCH(Schedule, row);
        const double start = 700'000'000.0;
        QSettings settings(kApp, kApp);
        if (row.off)
            settings.setValue("noUpdateCheck", true);
        if (!qIsNaN(row.stored))
            settings.setValue("updateCheckInt", row.stored);
        if (!qIsNaN(row.elapsed))
            settings.setValue("dateLastUpdateCheck", start - row.elapsed);
        UpdateConfiguration configuration = this->configuration();
        configuration.infoDictionary = [] { return QVariantMap{{QStringLiteral("CFBundleName"), kApp}}; };
        FakeUi* ui = nullptr;
        configuration.now = [&] { return start + 7.0 * double(ui->alerts.size()); };

        const auto check = makeCheck(ui, configuration);
        check->checkForUpdatesIfDue();

        QCOMPARE(ui->alerts.join('|'), row.due ? "Can't check for updates:\nNo app version string found." : "");
        QCOMPARE(settings.value("noUpdateCheck").toString(), QString(row.off ? "true" : "false"));
        QCOMPARE(settings.value("updateCheckInt").toDouble(), row.written);
        const QVariant last = settings.value("dateLastUpdateCheck");
        QCOMPARE(last.isValid() ? last.toDouble() : qQNaN(), row.due ? start + 7.0 : start - row.elapsed);
    }

    void check_data()
    {
        QTest::addColumn<Check>("row");
        const QByteArray single = manifest({{kApp, "2.0", kUrl2}});
        const auto ok = [](const QByteArray& body) { return response(200, "text/xml", body); };
        const QStringList offer{offerOf("2.0")};
        QTest::newRow("Download opens the URL unchanged") << Check{ok(single), offer, {kUrl2}};
        QTest::newRow("XML after a UTF-8 byte-order mark") << Check{ok("\xEF\xBB\xBF" + single), offer, {kUrl2}};
        QTest::newRow("Ignore opens nothing, no Help menu") << Check{ok(single), offer, {}, 0, 0, false};
        QTest::newRow("canonically the same version") << Check{ok(manifest({{kApp, "1.4-be\u0301ta", kUrl}})), {}, {}};
        const QByteArray others = manifest({{"strataloom", "9", kUrl}, {"Strataloom ", "9", kUrl}});
        QTest::newRow("no entry for Strataloom") << Check{ok(others), {}, {}, 0};
        QTest::newRow("two offers in order, lower version too")
            << Check{ok(manifest({{kApp, "2.0", kUrl}, {kApp, kRunning, kUrl}, {kApp, "1.3", kUrl2}})),
                     {offerOf("2.0"), offerOf("1.3")},
                     {kUrl, kUrl2}};
        QTest::newRow("empty root array") << Check{ok(manifest({})), {"Update Property List has no entries."}, {}, 0};
        // A location merely contained in the URL could send the browser anywhere.
        for (const auto& url : QStringList{"https://evil.example/?" + kUrl, "https://downloads.test.example/?" + kUrl,
                                           "http://" + kLocation1.mid(8), "https://pinned.test.example.evil.example/"})
            QTest::newRow(qPrintable("refused " + url)) << Check{ok(manifest({{kApp, "2.0", url}})), {}, {}};

        // Only a 2xx answer typed text/xml or text/plain is evaluated.
        QTest::newRow("299 text/plain, binary")
            << Check{response(299, "text/plain", m_binary), offer, {kLocation1 + "a.zip"}};
        QTest::newRow("304") << Check{response(304, "text/xml", single), {}, {}, 0};
        QTest::newRow("other type") << Check{response(200, "application/xml", single), {}, {}, 0};
        QTest::newRow("garbage") << Check{response(200, "text/plain", "no plist"), kUnreadable, {}, 0};
        QTest::newRow("empty body") << Check{ok(""), kUnreadable, {}, 0};
        // Abandoned while it arrives instead of being read whole into memory.
        QTest::newRow("oversized") << Check{ok(single + QByteArray(kMaxManifestBytes, ' ')), {}, {}, 0};

        // Deep enough to exhaust the stack of the property-list library.
        const QByteArray deep = QByteArray("<array>").repeated(200'000) + QByteArray("</array>").repeated(200'000);
        QTest::newRow("deep XML") << Check{ok(xmlDocument(deep)), kUnreadable, {}, 0};

        // Every reference to a shared object counts: the property-list library
        // copies the object for each.
        QTest::newRow("binary expanding to the bound")
            << Check{ok(sharedStringManifest(kMaxManifestExpandedBytes)), offer, {kUrl2}};
        QTest::newRow("binary expanding past the bound")
            << Check{ok(sharedStringManifest(kMaxManifestExpandedBytes + 1)), kUnreadable, {}, 0};
    }

    void check()
    {
        QFETCH(Check, row);
        m_response = row.response;
        m_request.clear();
        QAction help("Strataloom Help"), status("Update not checked");
        QSignalSpy toggled(&status, &QAction::toggled);
        FakeUi* ui = nullptr;
        const auto check = makeCheck(ui, configuration());
        ui->answer = row.answer;
        ui->items = row.statusItem ? QList<QAction*>{&help, &status} : QList<QAction*>{&help};
        QSignalSpy ended(check.get(), &UpdateCheck::checkEnded);

        check->checkForUpdates();

        QVERIFY(ended.wait(20'000));
        QCOMPARE(m_request, QByteArray("GET /manifest.plist HTTP/1.1"));
        QCOMPARE(ui->alerts, row.alerts);
        QCOMPARE(ui->opened, row.opened);
        QCOMPARE(toggled.count(), row.marked);
        QCOMPARE(status.text() + "|" + help.text(),
                 QString(row.marked ? "Checked for update" : "Update not checked") + "|Strataloom Help");
    }

    // A real message box in the main window, answered by a click; the
    // manifest's version is shown as text, never as markup.
    void messageBox()
    {
        AppDelegate delegate;
        auto* status = delegate.mainWindow()->findChild<QAction*>("updateStatusAction");
        QDesktopServices::setUrlHandler("https", this, "openInBrowser");
        QStringList seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll.stop();
            QList<QAbstractButton*> buttons = box->buttons();
            std::sort(buttons.begin(), buttons.end(), [](QAbstractButton* a, QAbstractButton* b) {
                return a->mapToGlobal(QPoint()).x() < b->mapToGlobal(QPoint()).x();
            });
            for (QAbstractButton* button : buttons)
                seen << button->text() + (button == box->defaultButton() ? " (default)" : "");
            const bool form = box->textFormat() == Qt::PlainText && box->icon() == QMessageBox::Information
                           && box->windowModality() == Qt::ApplicationModal;
            seen << box->text() << box->informativeText() << (form ? "plain, modal, informational" : "wrong form");
            buttons.last()->click();
        });
        poll.start(10);

        UpdateCheck(std::make_unique<MainWindowUpdateUi>(delegate.mainWindow()), configuration())
            .offerUpdate(manifest({{kApp, "2.0 <b>beta</b>", kUrl}}), kRunning);

        QCOMPARE(seen, (QStringList{"Ignore (default)", "Download", offerOf("2.0 <b>beta</b>"),
                                    "You are currently running Strataloom version " + kRunning
                                        + ".\nPlease choose "
                                          "whether to download this update now in your default browser.",
                                    "plain, modal, informational"}));
        QCOMPARE(m_browser, QStringList{kUrl});
        QCOMPARE(status->text(), QString("Checked for update"));
        QDesktopServices::unsetUrlHandler("https");
    }

    // Random XML manifests and mutations of them and of a binary one, every
    // offer answered "Download": no crash, only the known alerts, nothing
    // opened outside the download locations.
    void randomManifests()
    {
        QList<QByteArray> values{"<integer>7</integer>", "<array/>"};
        for (const auto& text : QStringList{kApp, "2.0", kRunning, "", kUrl, kUrl2, "https://evil.example/?" + kUrl,
                                            "https://downloads.test.example.evil.example/", "http://" + kUrl.mid(8),
                                            "https://pinned.test.example.evil.example/"})
            values += "<string>" + text.toHtmlEscaped().toUtf8() + "</string>";
        std::mt19937 random(20240611);
        const auto below = [&random](qsizetype bound) { return qsizetype(random() % quint64(bound)); };
        const auto value = [&] { return values[below(values.size())]; };
        qsizetype offers = 0, errors = 0;
        for (int i = 0; i < 20'000; ++i) {
            QByteArray entries;
            for (qsizetype n = below(5); n > 0; --n)
                entries += "<dict><key>AppName</key>" + (below(2) ? values[2] : value()) + "<key>Version</key>"
                         + value() + "<key>URL</key>" + value() + "</dict>";
            QByteArray body = below(3) ? xmlDocument("<array>" + entries + "</array>") : m_binary;
            for (qsizetype m = below(3) ? 0 : 1 + below(6); m > 0 && !body.isEmpty(); --m)
                below(2) ? void(body[below(body.size())] = char(random()))
                         : void(body.remove(below(body.size()), 1 + below(16)));
            FakeUi* ui = nullptr;
            const auto check = makeCheck(ui, configuration());
            check->offerUpdate(body, kRunning);

            const qsizetype offered = ui->alerts.filter("An update").size();
            QVERIFY(!ui->alerts.contains("unexpected alert"));
            QVERIFY(offered == ui->alerts.size() || ui->alerts.size() == 1);
            QCOMPARE(ui->opened.size(), offered);
            for (const QString& url : std::as_const(ui->opened))
                QVERIFY2(url.startsWith(kLocation1) || url.startsWith(kLocation2), body.toBase64().constData());
            offers += offered;
            errors += ui->alerts.size() - offered;
        }
        QVERIFY(offers > 0 && errors > 0);
    }
};

STRATALOOM_QTEST_MAIN(UpdateTest)
#include "UpdateTest.moc"
