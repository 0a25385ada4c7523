#include "UpdateTestSupport.h"
#include "support/TestEnvironment.h"
#include "update/ManifestReader.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QtTest>

using namespace strataloom;
using namespace strataloom::test;

namespace {

const QString kApp = QStringLiteral("Strataloom");
const QString kRunning = QStringLiteral("1.4");
const QString kUrl20 = kTestLocation1 + QStringLiteral("Strataloom-2.0.tar.gz");
const QString kUrl13 = kTestLocation2 + QStringLiteral("Strataloom-1.3.tar.gz");

QByteArray xmlDocument(const QByteArray& content)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + content + "\n</plist>\n";
}

// A binary property list with one object table entry per `objects` element;
// object 0 is the root. Offsets and references are two bytes wide.
QByteArray binaryDocument(const QList<QByteArray>& objects)
{
    QByteArray data = "bplist00";
    QByteArray table;
    for (const QByteArray& object : objects) {
        table.append(char(data.size() >> 8)).append(char(data.size() & 0xFF));
        data.append(object);
    }
    const qsizetype tableOffset = data.size();
    data.append(table);
    QByteArray trailer(6, '\0');
    trailer.append(char(2)).append(char(2));
    for (quint64 value : {quint64(objects.size()), quint64(0), quint64(tableOffset)})
        for (int shift = 56; shift >= 0; shift -= 8)
            trailer.append(char((value >> shift) & 0xFF));
    return data + trailer;
}

// An array object (marker 0xA_) referring to `refs`, two bytes each.
QByteArray binaryArray(const QList<int>& refs)
{
    QByteArray object(1, char(0xA0 | refs.size()));
    for (int ref : refs)
        object.append(char(ref >> 8)).append(char(ref & 0xFF));
    return object;
}

} // namespace

class UpdateOfferTest : public QObject {
    Q_OBJECT
private slots:
    void offerTextsAndAnswers_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("Ignore") << 0;
        QTest::newRow("Download") << 1;
    }

    // A lower published version is offered like a higher one.
    void offerTextsAndAnswers()
    {
        QFETCH(int, answer);
        FakeCheck launch(kRunning);
        launch.addStatusItem();
        launch.ui->answer = [answer](const Alert&) { return answer; };
        launch.check->offerUpdate(xmlManifest({{kApp, QStringLiteral("1.3"), kUrl13}}), kRunning);

        QCOMPARE(launch.ui->alerts.size(), 1);
        const Alert& offer = launch.ui->alerts.first();
        QCOMPARE(offer.style, AlertStyle::Informational);
        QCOMPARE(offer.messageText, QStringLiteral("An update to this app to version 1.3 is available."));
        QCOMPARE(offer.informativeText,
                 QStringLiteral("You are currently running Strataloom version 1.4.\nPlease choose whether to download "
                                "this update now in your default browser."));
        QCOMPARE(offer.buttons, (QStringList{QStringLiteral("Ignore"), QStringLiteral("Download")}));
        if (answer == 1) {
            QCOMPARE(launch.ui->opened.size(), 1);
            QCOMPARE(launch.ui->opened.first().toString(QUrl::FullyEncoded), kUrl13);
        } else {
            QVERIFY(launch.ui->opened.isEmpty());
        }
        QVERIFY(launch.statusItem.isChecked());
        QCOMPARE(launch.statusItem.text(), QStringLiteral("Checked for update"));
    }

    void emptyRootArray()
    {
        FakeCheck launch;
        launch.addStatusItem();
        launch.check->offerUpdate(xmlManifest({}), kRunning);
        QCOMPARE(launch.ui->alerts.size(), 1);
        QVERIFY(isErrorAlert(launch.ui->alerts.first(), kNoEntries));
        QCOMPARE(launch.statusItem.text(), QStringLiteral("Update not checked"));
    }

    void noEntryForThisApplication()
    {
        FakeCheck launch;
        launch.addStatusItem();
        launch.check->offerUpdate(xmlManifest({{QStringLiteral("Other"), QStringLiteral("9.0"), kUrl20},
                                               {QStringLiteral("strataloom"), QStringLiteral("9.0"), kUrl20},
                                               {QStringLiteral("Strataloom "), QStringLiteral("9.0"), kUrl20}}),
                                  kRunning);
        QVERIFY(launch.ui->alerts.isEmpty());
        QVERIFY(!launch.statusItem.isChecked());
        QCOMPARE(launch.statusItem.text(), QStringLiteral("Update not checked"));
    }

    void sameVersionMarksTheItemOnly()
    {
        FakeCheck launch;
        launch.addStatusItem();
        launch.check->offerUpdate(binaryManifest({{kApp, kRunning, kUrl20}}), kRunning);
        QVERIFY(launch.ui->alerts.isEmpty());
        QVERIFY(launch.statusItem.isChecked());
        QCOMPARE(launch.statusItem.text(), QStringLiteral("Checked for update"));
    }

    // Versions are compared as text up to canonical equivalence: a decomposed
    // "é" equals the precomposed one, and "1.4.0" differs from "1.4".
    void versionComparisonIsTextual()
    {
        FakeCheck launch;
        launch.check->offerUpdate(xmlManifest({{kApp, QStringLiteral("1.4-be\u0301ta"), kUrl20}}),
                                  QStringLiteral("1.4-b\u00e9ta"));
        QVERIFY(launch.ui->alerts.isEmpty());
        launch.check->offerUpdate(xmlManifest({{kApp, QStringLiteral("1.4.0"), kUrl20}}), kRunning);
        QCOMPARE(launch.ui->alerts.size(), 1);
    }

    // Each differing entry is offered in array order; the status item is found
    // and changed at the first one only.
    void twoOffersInOrder()
    {
        FakeCheck launch;
        launch.addStatusItem();
        QStringList titlesDuringOffers;
        launch.ui->answer = [&](const Alert&) {
            titlesDuringOffers.append(launch.statusItem.text());
            return 1;
        };
        launch.check->offerUpdate(xmlManifest({{QStringLiteral("Other"), QStringLiteral("3.0"), kUrl20},
                                               {kApp, QStringLiteral("2.0"), kUrl20},
                                               {kApp, kRunning, kUrl20},
                                               {kApp, QStringLiteral("1.3"), kUrl13}}),
                                  kRunning);
        QCOMPARE(launch.ui->alerts.size(), 2);
        QVERIFY(launch.ui->alerts[0].messageText.contains(QStringLiteral("version 2.0 ")));
        QVERIFY(launch.ui->alerts[1].messageText.contains(QStringLiteral("version 1.3 ")));
        QCOMPARE(launch.ui->opened, (QList<QUrl>{QUrl(kUrl20), QUrl(kUrl13)}));
        QCOMPARE(titlesDuringOffers, (QStringList{QStringLiteral("Checked for update"), QStringLiteral("Checked for update")}));
        QVERIFY(launch.statusItem.isChecked());
    }

    void statusItemAbsent_data()
    {
        QTest::addColumn<bool>("helpMenu");
        QTest::newRow("no Help menu") << false;
        QTest::newRow("Help menu without the item") << true;
    }

    void statusItemAbsent()
    {
        QFETCH(bool, helpMenu);
        FakeCheck launch;
        QAction other(QStringLiteral("Strataloom Help"));
        if (helpMenu)
            launch.ui->items = {&other};
        launch.ui->answer = [](const Alert&) { return 1; };
        launch.check->offerUpdate(xmlManifest({{kApp, QStringLiteral("2.0"), kUrl20}}), kRunning);
        QCOMPARE(launch.ui->alerts.size(), 1);
        QCOMPARE(launch.ui->opened.size(), 1);
        QCOMPARE(other.text(), QStringLiteral("Strataloom Help"));
        QVERIFY(!other.isChecked());
    }

    // Only https addresses that begin with a download location are offered; a
    // location elsewhere in the text would let the manifest send the browser
    // to any host.
    void downloadLocations_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("offered");
        QTest::newRow("first location") << kTestLocation1 + QStringLiteral("Strataloom-2.0.tar.gz") << true;
        QTest::newRow("second location, query") << kTestLocation2 + QStringLiteral("get?v=2.0&arch=x86_64") << true;
        QTest::newRow("location after other text")
            << QStringLiteral("https://attacker.example/x?") + kTestLocation1 + QStringLiteral("app.zip") << false;
        QTest::newRow("location in a fragment")
            << QStringLiteral("https://attacker.example/#") + kTestLocation2 << false;
        QTest::newRow("plain http") << QStringLiteral("http://downloads.test.example/strataloom/app.zip") << false;
        QTest::newRow("other path on the host") << QStringLiteral("https://downloads.test.example/other/app.zip")
                                                << false;
        QTest::newRow("case differs") << QStringLiteral("https://downloads.test.example/Strataloom/app.zip") << false;
        QTest::newRow("does not parse") << kTestLocation1 + QStringLiteral("app%zz.zip") << false;
        QTest::newRow("space") << kTestLocation1 + QStringLiteral("my app.zip") << false;
        QTest::newRow("empty") << QString() << false;
    }

    void downloadLocations()
    {
        QFETCH(QString, url);
        QFETCH(bool, offered);
        FakeCheck launch;
        launch.addStatusItem();
        launch.ui->answer = [](const Alert&) { return 1; };
        launch.check->offerUpdate(xmlManifest({{kApp, QStringLiteral("2.0"), url}}), kRunning);
        QCOMPARE(launch.ui->alerts.size(), offered ? 1 : 0);
        QCOMPARE(launch.ui->opened.size(), offered ? 1 : 0);
        if (offered)
            QCOMPARE(launch.ui->opened.first().toString(QUrl::FullyEncoded), url);
        // Skipped silently, but the entry was read.
        QVERIFY(launch.statusItem.isChecked());
    }

    // A location set without its closing "/" still pins the host.
    void locationWithoutSlashPinsTheHost()
    {
        FakeCheck launch;
        UpdateConfiguration configuration = UpdateConfiguration::standard();
        configuration.downloadLocations = {QStringLiteral("https://downloads.test.example")};
        auto fake = std::make_unique<FakeUpdateUi>();
        FakeUpdateUi* ui = fake.get();
        ui->answer = [](const Alert&) { return 1; };
        UpdateCheck check(std::move(fake), configuration);
        check.offerUpdate(xmlManifest({{kApp, QStringLiteral("2.0"), QStringLiteral("https://downloads.test.example.attacker.example/a.zip")},
                                       {kApp, QStringLiteral("2.1"), QStringLiteral("https://downloads.test.example/a.zip")}}),
                          kRunning);
        QCOMPARE(ui->opened, QList<QUrl>{QUrl(QStringLiteral("https://downloads.test.example/a.zip"))});
    }

    // Property lists that break the manifest format: the whole manifest is
    // reported when its root is no array; faulty entries are skipped and the
    // good one after them still counts.
    void malformedManifests_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<bool>("marked");

        const QByteArray good = "<dict><key>AppName</key><string>Strataloom</string><key>Version</key><string>2.0</string>"
                                "<key>URL</key><string>" + kUrl20.toUtf8() + "</string></dict>";
        QTest::newRow("root is a dictionary") << xmlDocument(good) << kUnreadable << false;
        QTest::newRow("root is a string") << xmlDocument("<string>Strataloom</string>") << kUnreadable << false;
        QTest::newRow("entries are no dictionaries")
            << xmlDocument("<array><string>Strataloom</string><array/><integer>3</integer></array>") << QString() << false;
        QTest::newRow("AppName missing or not text")
            << xmlDocument("<array><dict><key>Version</key><string>2.0</string></dict>"
                           "<dict><key>AppName</key><integer>1</integer></dict>"
                           "<dict><key>AppName</key><array><string>Strataloom</string></array></dict></array>")
            << QString() << false;
        QTest::newRow("Version or URL missing or not text")
            << xmlDocument("<array><dict><key>AppName</key><string>Strataloom</string></dict>"
                           "<dict><key>AppName</key><string>Strataloom</string><key>Version</key><real>2.0</real>"
                           "<key>URL</key><string>" + kUrl20.toUtf8() + "</string></dict>"
                           "<dict><key>AppName</key><string>Strataloom</string><key>Version</key><string>2.0</string>"
                           "<key>URL</key><data>aHR0cHM6Ly8=</data></dict></array>")
            << QString() << true;
        QTest::newRow("not well formed") << xmlDocument("<array>" + good) << kUnreadable << false;
        QTest::newRow("faulty entries before a good one")
            << xmlDocument("<array><true/><dict/>" + good + "</array>") << QStringLiteral("offer") << true;
    }

    void malformedManifests()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, alert);
        QFETCH(bool, marked);
        FakeCheck launch;
        launch.addStatusItem();
        launch.ui->answer = [](const Alert&) { return 1; };
        launch.check->offerUpdate(body, kRunning);

        if (alert.isEmpty()) {
            QVERIFY(launch.ui->alerts.isEmpty());
        } else if (alert == QStringLiteral("offer")) {
            QCOMPARE(launch.ui->alerts.size(), 1);
            QCOMPARE(launch.ui->opened, QList<QUrl>{QUrl(kUrl20)});
        } else {
            QCOMPARE(launch.ui->alerts.size(), 1);
            QVERIFY(isErrorAlert(launch.ui->alerts.first(), alert));
        }
        if (alert != QStringLiteral("offer"))
            QVERIFY(launch.ui->opened.isEmpty());
        QCOMPARE(launch.statusItem.isChecked(), marked);
    }

    // Inputs on which the property-list library would run out of stack or
    // memory are refused as unreadable, quickly.
    void hostileShapesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("body");

        QByteArray deepXml;
        for (int i = 0; i < 300'000; ++i)
            deepXml.append("<array>");
        for (int i = 0; i < 300'000; ++i)
            deepXml.append("</array>");
        QTest::newRow("deep XML") << xmlDocument(deepXml);

        QList<QByteArray> chain;
        for (int i = 0; i < 20'000; ++i)
            chain.append(binaryArray({i + 1}));
        chain.append(QByteArray("\x08", 1));
        QTest::newRow("deep binary") << binaryDocument(chain);

        // Every array refers twice to the next: 2^40 nodes once copied.
        QList<QByteArray> shared;
        for (int i = 0; i < 40; ++i)
            shared.append(binaryArray({i + 1, i + 1}));
        shared.append(QByteArray("\x09", 1));
        QTest::newRow("shared references") << binaryDocument(shared);

        QTest::newRow("cycle") << binaryDocument({binaryArray({1}), binaryArray({0})});
        QTest::newRow("reference out of range") << binaryDocument({binaryArray({5})});
        QTest::newRow("truncated trailer") << binaryDocument({binaryArray({})}).chopped(1);
        QTest::newRow("binary header only") << QByteArray("bplist00");
        QTest::newRow("over the size bound") << xmlManifest({{kApp, QStringLiteral("2.0"), kUrl20}})
                                                    + QByteArray(kMaxManifestBytes, ' ');
    }

    void hostileShapesAreRefused()
    {
        QFETCH(QByteArray, body);
        FakeCheck launch;
        QElapsedTimer timer;
        timer.start();
        launch.check->offerUpdate(body, kRunning);
        QVERIFY(timer.elapsed() < 10'000);
        QCOMPARE(launch.ui->alerts.size(), 1);
        QVERIFY(isErrorAlert(launch.ui->alerts.first(), kUnreadable));
    }

    // The bounds leave room for what a real manifest may hold: nesting in
    // ignored values and values shared between entries of the binary form.
    void reasonableShapesAreRead()
    {
        QByteArray nested;
        for (int i = 0; i < 100; ++i)
            nested.append("<array>");
        for (int i = 0; i < 100; ++i)
            nested.append("</array>");
        const QByteArray xml = xmlDocument("<array><dict><key>Extra</key>" + nested
                                           + "<key>AppName</key><string>Strataloom</string></dict></array>");
        QCOMPARE(readManifest(xml).value_or(std::vector<ManifestEntry>{}).size(), std::size_t(1));

        // Two entries sharing one dictionary object, as a writer may store them.
        const QByteArray app = QByteArray("\x5A", 1) + "Strataloom";
        const QByteArray key = QByteArray("\x57", 1) + "AppName";
        QByteArray dictionary(1, char(0xD1));
        dictionary.append(char(0)).append(char(2)).append(char(0)).append(char(3));
        const auto entries = readManifest(binaryDocument({binaryArray({1, 1}), dictionary, key, app}));
        QVERIFY(entries);
        QCOMPARE(entries->size(), std::size_t(2));
        QCOMPARE(entries->at(1).appName.value_or(QString()), kApp);
    }

    // Text that is not valid UTF-8 is no text: it can neither match nor be opened.
    void invalidUtf8IsNoText()
    {
        QByteArray dictionary(1, char(0xD2));
        for (int ref : {1, 2, 3, 4})
            dictionary.append(char(0)).append(char(ref));
        const auto entries = readManifest(binaryDocument({binaryArray({5}), QByteArray("\x57" "AppName"),
                                                          QByteArray("\x57" "Version"), QByteArray("\x5A" "Strataloom"),
                                                          QByteArray("\x54" "2.0\xff"), dictionary}));
        QVERIFY(entries);
        QCOMPARE(entries->size(), std::size_t(1));
        QCOMPARE(entries->front().appName.value_or(QString()), kApp);
        QVERIFY(!entries->front().version);
    }
};

STRATALOOM_QTEST_MAIN(UpdateOfferTest)
#include "UpdateOfferTest.moc"
