#include "UpdateTestSupport.h"
#include "support/TestEnvironment.h"
#include "update/ManifestReader.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QtTest>

#include <plist/plist.h>

#include <random>

using namespace strataloom;
using namespace strataloom::test;

namespace {

const QString kApp = QStringLiteral("Strataloom");
const QString kUrl = kTestLocation1 + QStringLiteral("Strataloom-2.0.tar.gz");
const QString kUnreadable = QStringLiteral("Error in update Property List.");
const QString kNoVersion = QStringLiteral("Can't check for updates:\nNo app version string found.");

QString offerOf(const QString& version)
{
    return QStringLiteral("An update to this app to version ") + version + QStringLiteral(" is available.");
}

QByteArray xmlDocument(const QByteArray& content)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + content + "</plist>\n";
}

// A binary property list whose object 0 is the root; offsets and references
// are two bytes wide.
QByteArray binaryDocument(const QList<QByteArray>& objects)
{
    QByteArray data = "bplist00";
    QByteArray table;
    for (const QByteArray& object : objects) {
        table.append(char(data.size() >> 8)).append(char(data.size() & 0xFF));
        data.append(object);
    }
    QByteArray trailer(6, '\0');
    trailer.append(char(2)).append(char(2));
    for (quint64 value : {quint64(objects.size()), quint64(0), quint64(data.size())})
        for (int shift = 56; shift >= 0; shift -= 8)
            trailer.append(char((value >> shift) & 0xFF));
    return data + table + trailer;
}

// An array (0xA_) or dictionary (0xD_, keys then values) of references.
QByteArray container(char marker, const QList<int>& refs)
{
    QByteArray object(1, char(marker | (marker == char(0xD0) ? refs.size() / 2 : refs.size())));
    for (int ref : refs)
        object.append(char(ref >> 8)).append(char(ref & 0xFF));
    return object;
}

QByteArray repeated(const QByteArray& piece, int count)
{
    return piece.repeated(count);
}

} // namespace

class UpdateCheckTest : public QObject {
    Q_OBJECT
private slots:
    void init() { QSettings(kApp, kApp).clear(); }

    // Rows: switch, stored interval and seconds since the last check (NaN for
    // absent), whether a check starts, and the interval written back. A check
    // is seen through its alert about the missing version; dismissing it takes
    // 7 seconds, and the time stored must be the one after it.
    void schedule_data()
    {
        QTest::addColumn<bool>("off");
        QTest::addColumn<double>("stored");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<bool>("due");
        QTest::addColumn<double>("written");
        const double absent = qQNaN();
        QTest::newRow("empty defaults") << false << absent << absent << true << 43200.0;
        QTest::newRow("switched off") << true << 0.5 << absent << false << 43200.0;
        QTest::newRow("0.5 becomes 12 hours") << false << 0.5 << 43200.0 << false << 43200.0;
        QTest::newRow("1.0 is kept") << false << 1.0 << 1.5 << true << 1.0;
        QTest::newRow("exactly the interval") << false << 3600.0 << 3600.0 << false << 3600.0;
        QTest::newRow("one second more") << false << 3600.0 << 3601.0 << true << 3600.0;
        QTest::newRow("last check in the future") << false << 3600.0 << -10.0 << false << 3600.0;
    }

    void schedule()
    {
        QFETCH(bool, off);
        QFETCH(double, stored);
        QFETCH(double, elapsed);
        QFETCH(bool, due);
        QFETCH(double, written);
        const double start = 700'000'000.0;
        double now = start;
        {
            QSettings settings(kApp, kApp);
            if (off)
                settings.setValue(QStringLiteral("noUpdateCheck"), true);
            if (!qIsNaN(stored))
                settings.setValue(QStringLiteral("updateCheckInt"), stored);
            if (!qIsNaN(elapsed))
                settings.setValue(QStringLiteral("dateLastUpdateCheck"), start - elapsed);
        }
        FakeUpdateUi* ui = nullptr;
        const auto check = makeCheck(ui, [&now](UpdateConfiguration& configuration) {
            configuration.infoDictionary = [] { return QVariantMap{{QStringLiteral("CFBundleName"), kApp}}; };
            configuration.now = [&now] { return now; };
        });
        ui->onAlert = [&now] { now += 7.0; };

        check->checkForUpdatesIfDue();

        QCOMPARE(ui->summary(), due ? QStringList{kNoVersion} : QStringList());
        const QSettings settings(kApp, kApp);
        QVERIFY(settings.contains(QStringLiteral("noUpdateCheck")));
        QCOMPARE(settings.value(QStringLiteral("noUpdateCheck")).toBool(), off);
        QCOMPARE(settings.value(QStringLiteral("updateCheckInt")).toDouble(), written);
        const QVariant last = settings.value(QStringLiteral("dateLastUpdateCheck"));
        if (due)
            QCOMPARE(last.toDouble(), start + 7.0);
        else if (qIsNaN(elapsed))
            QVERIFY(!last.isValid());
        else
            QCOMPARE(start - last.toDouble(), elapsed);
    }

    // An application without information ends the check without a word.
    void noInformationIsSilent()
    {
        FakeUpdateUi* ui = nullptr;
        const auto check = makeCheck(ui, [](UpdateConfiguration& configuration) {
            configuration.infoDictionary = [] { return QVariantMap(); };
        });
        QSignalSpy ended(check.get(), &UpdateCheck::checkEnded);
        check->checkForUpdates();
        QCOMPARE(ended.count(), 1);
        QVERIFY(ui->alerts.isEmpty());
    }

    // Rows: the manifest, the answer to offers, whether the Help menu holds the
    // status item, then the alerts, the URLs opened and whether the item was
    // marked ("Checked for update", on).
    void offers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("running");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("statusItem");
        QTest::addColumn<QStringList>("alerts");
        QTest::addColumn<QStringList>("opened");
        QTest::addColumn<bool>("marked");
        const QString url2 = kTestLocation2 + QStringLiteral("get?v=1.3&arch=x86_64");
        const QString v14 = QStringLiteral("1.4");
        auto single = [](const QString& url) { return manifest({{kApp, QStringLiteral("2.0"), url}}); };

        QTest::newRow("Download opens the URL unchanged") << single(kUrl) << v14 << 1 << true << QStringList{offerOf("2.0")}
                                                          << QStringList{kUrl} << true;
        QTest::newRow("Ignore opens nothing") << single(kUrl) << v14 << 0 << true << QStringList{offerOf("2.0")}
                                              << QStringList() << true;
        QTest::newRow("same version, binary form") << manifest({{kApp, "1.4", kUrl}}, true) << v14 << 1 << true
                                                   << QStringList() << QStringList() << true;
        QTest::newRow("canonically equal version") << manifest({{kApp, "1.4-be\u0301ta", kUrl}})
                                                   << QStringLiteral("1.4-b\u00e9ta") << 1 << true << QStringList()
                                                   << QStringList() << true;
        QTest::newRow("no entry for this application")
            << manifest({{"Other", "9", kUrl}, {"strataloom", "9", kUrl}, {"Strataloom ", "9", kUrl}}) << v14 << 1 << true
            << QStringList() << QStringList() << false;
        QTest::newRow("two offers in order, lower version too")
            << manifest({{kApp, "2.0", kUrl}, {kApp, "1.4", kUrl}, {kApp, "1.3", url2}}) << v14 << 1 << true
            << QStringList{offerOf("2.0"), offerOf("1.3")} << QStringList{kUrl, url2} << true;
        QTest::newRow("no status item") << single(kUrl) << v14 << 1 << false << QStringList{offerOf("2.0")}
                                        << QStringList{kUrl} << false;
        QTest::newRow("empty root array") << manifest({}) << v14 << 1 << true
                                          << QStringList{QStringLiteral("Update Property List has no entries.")}
                                          << QStringList() << false;
        QTest::newRow("root not an array") << xmlDocument("<dict><key>AppName</key><string>Strataloom</string></dict>")
                                           << v14 << 1 << true << QStringList{kUnreadable} << QStringList() << false;
        QTest::newRow("faulty entries are skipped")
            << xmlDocument("<array><true/><dict/><dict><key>AppName</key><integer>1</integer></dict>"
                           "<dict><key>AppName</key><string>Strataloom</string><key>Version</key><real>2</real>"
                           "<key>URL</key><string>" + kUrl.toUtf8() + "</string></dict>"
                           "<dict><key>AppName</key><string>Strataloom</string><key>Version</key><string>2.1</string>"
                           "<key>URL</key><data>aHR0cHM6Ly8=</data></dict>"
                           "<dict><key>AppName</key><string>Strataloom</string><key>Version</key><string>2.2</string>"
                           "<key>URL</key><string>" + kUrl.toUtf8() + "</string></dict></array>")
            << v14 << 1 << true << QStringList{offerOf("2.2")} << QStringList{kUrl} << true;
        // Invalid UTF-8 is no text: "2.0\xff" cannot be offered.
        QTest::newRow("version not UTF-8")
            << binaryDocument({container(char(0xA0), {5}), "\x57" "AppName", "\x57" "Version", "\x5A" "Strataloom",
                               "\x54" "2.0\xff", container(char(0xD0), {1, 2, 3, 4})})
            << v14 << 1 << true << QStringList() << QStringList() << true;

        // Only https addresses that begin with a download location are
        // offered: a location elsewhere in the text would let the manifest
        // send the browser anywhere.
        QTest::newRow("second location") << single(url2) << v14 << 1 << true << QStringList{offerOf("2.0")}
                                         << QStringList{url2} << true;
        const QStringList refused = {
            QStringLiteral("https://attacker.example/x?") + kTestLocation1 + QStringLiteral("app.zip"),
            QStringLiteral("https://downloads.test.example/other/app.zip?from=") + kTestLocation1,
            QStringLiteral("http://downloads.test.example/strataloom/app.zip"),
            QStringLiteral("https://downloads.test.example/Strataloom/app.zip"),
            kTestLocation1 + QStringLiteral("app%zz.zip"),
            kTestLocation1 + QStringLiteral("my app.zip"),
        };
        for (const QString& url : refused)
            QTest::newRow(qPrintable(QStringLiteral("refused ") + url))
                << single(url) << v14 << 1 << true << QStringList() << QStringList() << true;
    }

    void offers()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, running);
        QFETCH(int, answer);
        QFETCH(bool, statusItem);
        QFETCH(QStringList, alerts);
        QFETCH(QStringList, opened);
        QFETCH(bool, marked);
        QAction other(QStringLiteral("Strataloom Help"));
        QAction status(QStringLiteral("Update not checked"));
        status.setCheckable(true);
        FakeUpdateUi* ui = nullptr;
        const auto check = makeCheck(ui);
        ui->answer = answer;
        ui->items = statusItem ? QList<QAction*>{&other, &status} : QList<QAction*>{&other};

        check->offerUpdate(body, running);

        QCOMPARE(ui->summary(), alerts);
        QStringList openedTexts;
        for (const QUrl& url : std::as_const(ui->opened))
            openedTexts.append(url.toString(QUrl::FullyEncoded));
        QCOMPARE(openedTexts, opened);
        QCOMPARE(status.isChecked(), marked);
        QCOMPARE(status.text(), marked ? QStringLiteral("Checked for update") : QStringLiteral("Update not checked"));
        QCOMPARE(other.text(), QStringLiteral("Strataloom Help"));
    }

    // A location set without its closing "/" still pins the host.
    void locationPinsTheHost()
    {
        FakeUpdateUi* ui = nullptr;
        const auto check = makeCheck(ui, [](UpdateConfiguration& configuration) {
            configuration.downloadLocations = {QStringLiteral("https://downloads.test.example")};
        });
        ui->answer = 1;
        check->offerUpdate(manifest({{kApp, "2.0", "https://downloads.test.example.attacker.example/a.zip"},
                                     {kApp, "2.1", "https://downloads.test.example/a.zip"}}),
                           QStringLiteral("1.4"));
        QCOMPARE(ui->opened, QList<QUrl>{QUrl(QStringLiteral("https://downloads.test.example/a.zip"))});
    }

    // Shapes on which the property-list library would exhaust the stack or
    // memory are refused quickly; the bounds still leave room for nesting in
    // ignored values and for objects shared between entries.
    void shapes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("entries");
        QList<QByteArray> chain;
        for (int i = 1; i <= 20'000; ++i)
            chain.append(container(char(0xA0), {i}));
        chain.append("\x08");
        // Every array refers twice to the next: 2^40 nodes once copied.
        QList<QByteArray> doubling;
        for (int i = 1; i <= 40; ++i)
            doubling.append(container(char(0xA0), {i, i}));
        doubling.append("\x09");

        QTest::newRow("deep XML") << xmlDocument(repeated("<array>", 300'000) + repeated("</array>", 300'000)) << -1;
        QTest::newRow("deep binary") << binaryDocument(chain) << -1;
        QTest::newRow("shared references") << binaryDocument(doubling) << -1;
        QTest::newRow("cycle") << binaryDocument({container(char(0xA0), {1}), container(char(0xA0), {0})}) << -1;
        QTest::newRow("reference out of range") << binaryDocument({container(char(0xA0), {5})}) << -1;
        QTest::newRow("truncated") << binaryDocument({container(char(0xA0), {})}).chopped(1) << -1;
        QTest::newRow("over the size bound") << manifest({{kApp, "2.0", kUrl}}) + QByteArray(kMaxManifestBytes, ' ')
                                             << -1;
        QTest::newRow("100 deep in an ignored value")
            << xmlDocument("<array><dict><key>X</key>" + repeated("<array>", 100) + repeated("</array>", 100)
                           + "</dict></array>")
            << 1;
        QTest::newRow("one dictionary shared by two entries")
            << binaryDocument({container(char(0xA0), {1, 1}), container(char(0xD0), {2, 3}), "\x57" "AppName",
                               "\x5A" "Strataloom"})
            << 2;
    }

    void shapes()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, entries);
        QElapsedTimer timer;
        timer.start();
        const auto read = readManifest(body);
        QVERIFY(timer.elapsed() < 10'000);
        QCOMPARE(read ? int(read->size()) : -1, entries);
        if (read)
            QCOMPARE(read->back().appName.value_or(QString()), entries == 2 ? kApp : QString());
    }

    // Random and mutated manifests in both forms, every offer answered
    // "Download": no crash, no hang, only the known alerts, and nothing
    // opened outside the download locations.
    void randomManifests()
    {
        const char* const texts[] = {"Strataloom", "Other", "1.4", "2.0", "", "\xc3\xa9",
                                     "https://downloads.test.example/strataloom/a.zip",
                                     "https://mirror.test.example/apps/strataloom/b",
                                     "https://attacker.example/?https://downloads.test.example/strataloom/",
                                     "https://downloads.test.example.attacker.example/strataloom/",
                                     "http://downloads.test.example/strataloom/a.zip", "file:///etc/passwd"};
        const char* const keys[] = {"AppName", "Version", "URL", "X"};
        std::mt19937 random(20240611);
        auto below = [&random](std::size_t bound) { return std::size_t(random() % bound); };
        FakeUpdateUi* ui = nullptr;
        const auto check = makeCheck(ui);
        ui->answer = 1;
        int offers = 0, errors = 0, iterations = 0;
        QElapsedTimer timer;
        timer.start();
        for (; iterations < 100'000 && timer.elapsed() < 30'000; ++iterations) {
            plist_t root = below(10) ? plist_new_array() : plist_new_dict();
            for (std::size_t i = below(5); i > 0; --i) {
                plist_t entry = below(10) ? plist_new_dict() : plist_new_array();
                for (const char* key : keys) {
                    if (!below(8))
                        continue;
                    const char* text = below(2) ? texts[below(std::size(texts))] : "Strataloom";
                    plist_t value = below(8) ? plist_new_string(text) : plist_new_uint(random());
                    if (plist_get_node_type(entry) == PLIST_DICT)
                        plist_dict_set_item(entry, key, value);
                    else
                        plist_array_append_item(entry, value);
                }
                plist_get_node_type(root) == PLIST_ARRAY ? plist_array_append_item(root, entry)
                                                         : plist_dict_set_item(root, keys[below(std::size(keys))], entry);
            }
            char* bytes = nullptr;
            uint32_t length = 0;
            const bool binary = below(2);
            binary ? plist_to_bin(root, &bytes, &length) : plist_to_xml(root, &bytes, &length);
            QByteArray body(bytes, qsizetype(length));
            binary ? plist_to_bin_free(bytes) : plist_to_xml_free(bytes);
            plist_free(root);
            for (std::size_t m = below(3) ? 0 : 1 + below(6); m > 0 && !body.isEmpty(); --m) {
                const qsizetype at = qsizetype(below(std::size_t(body.size())));
                switch (below(4)) {
                case 0: body[at] = char(random()); break;
                case 1: body.remove(at, qsizetype(1 + below(16))); break;
                case 2: body.insert(at, below(2) ? QByteArray("<array>") : QByteArray(1, char(random()))); break;
                default: body.truncate(at); break;
                }
            }
            ui->alerts.clear();
            ui->opened.clear();
            check->offerUpdate(body, QStringLiteral("1.4"));

            const QStringList summary = ui->summary();
            QVERIFY(!summary.contains(QStringLiteral("unexpected alert")));
            const qsizetype offered = summary.filter(QStringLiteral("An update")).size();
            QVERIFY(offered == summary.size() || summary.size() == 1);
            QCOMPARE(ui->opened.size(), offered);
            for (const QUrl& url : std::as_const(ui->opened)) {
                const QString text = url.toString(QUrl::FullyEncoded);
                QVERIFY2(url.scheme() == QStringLiteral("https")
                             && (text.startsWith(kTestLocation1) || text.startsWith(kTestLocation2))
                             && url.host().endsWith(QStringLiteral(".test.example")),
                         body.toBase64().constData());
            }
            offers += int(offered);
            errors += int(summary.size() - offered);
        }
        qInfo("%d manifests, %d offers, %d error alerts in %lld ms", iterations, offers, errors,
              static_cast<long long>(timer.elapsed()));
        QVERIFY(iterations >= 1000 && offers > 0 && errors > 0);
    }
};

STRATALOOM_QTEST_MAIN(UpdateCheckTest)
#include "UpdateCheckTest.moc"
