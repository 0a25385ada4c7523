#include "UpdateTestSupport.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QtTest>

#include <plist/plist.h>

#include <random>

using namespace strataloom;
using namespace strataloom::test;

// Random and mutated manifests, in both forms, evaluated with every offer
// answered "Download": the evaluation must neither crash nor hang, must alert
// in one of its known ways, and must open only addresses at a download
// location.
namespace {

const char* const kAppNames[] = {"Strataloom", "Other", "strataloom", "Strataloom ", "Stratalo\xc3\xb6m", ""};
const char* const kVersions[] = {"1.4", "2.0", "1.3", "1.4.0", "", "\xc3\xa9", "1.4\n"};
const char* const kUrls[] = {
    "https://downloads.test.example/strataloom/Strataloom-2.0.tar.gz",
    "https://mirror.test.example/apps/strataloom/get?v=2",
    "https://attacker.example/x?https://downloads.test.example/strataloom/app.zip",
    "https://attacker.example/#https://mirror.test.example/apps/strataloom/",
    "http://downloads.test.example/strataloom/app.zip",
    "https://downloads.test.example.attacker.example/strataloom/app.zip",
    "https://downloads.test.example/strataloom/%zz",
    "https://user@downloads.test.example/strataloom/app.zip",
    "javascript:alert(1)//https://downloads.test.example/strataloom/",
    "file:///etc/passwd",
    "",
};
const char* const kKeys[] = {"AppName", "Version", "URL", "Other", ""};
const char* const kXmlTokens[] = {"<array>", "</array>", "<dict>", "</dict>", "<key>", "</key>", "<string>",
                                  "</string>", "<true/>", "&amp;", "&#0;", "<![CDATA[", "]]>", "<!--", "-->"};

class Generator {
public:
    explicit Generator(std::uint64_t seed) : m_random(seed) {}

    QByteArray body()
    {
        switch (below(10)) {
        case 0:
            return randomBytes(below(200));
        case 1:
            return "bplist00" + randomBytes(below(200));
        default: {
            plist_t root = below(8) == 0 ? randomNode(0) : manifestTree();
            QByteArray serialised = below(2) == 0 ? toXml(root) : toBinary(root);
            plist_free(root);
            if (below(3) == 0)
                mutate(serialised);
            return serialised;
        }
        }
    }

private:
    std::uint32_t below(std::uint32_t bound) { return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(m_random); }

    template <std::size_t N>
    const char* pick(const char* const (&pool)[N])
    {
        return pool[below(N)];
    }

    QByteArray randomBytes(std::uint32_t size)
    {
        QByteArray bytes(size, '\0');
        for (char& byte : bytes)
            byte = char(below(256));
        return bytes;
    }

    plist_t manifestTree()
    {
        plist_t root = plist_new_array();
        const std::uint32_t count = below(6);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (below(8) == 0) {
                plist_array_append_item(root, randomNode(1));
                continue;
            }
            plist_t entry = plist_new_dict();
            if (below(10) != 0)
                plist_dict_set_item(entry, "AppName", textOrOther(pick(kAppNames)));
            if (below(10) != 0)
                plist_dict_set_item(entry, "Version", textOrOther(pick(kVersions)));
            if (below(10) != 0)
                plist_dict_set_item(entry, "URL", textOrOther(pick(kUrls)));
            if (below(4) == 0)
                plist_dict_set_item(entry, pick(kKeys), randomNode(2));
            plist_array_append_item(root, entry);
        }
        return root;
    }

    plist_t textOrOther(const char* text) { return below(10) == 0 ? randomNode(3) : plist_new_string(text); }

    plist_t randomNode(unsigned depth)
    {
        switch (below(depth > 4 ? 6 : 8)) {
        case 0: return plist_new_string(pick(kUrls));
        case 1: return plist_new_uint(m_random());
        case 2: return plist_new_real(double(m_random()) / 7.0);
        case 3: return plist_new_bool(below(2));
        case 4: {
            const QByteArray data = randomBytes(below(16));
            return plist_new_data(data.constData(), std::uint64_t(data.size()));
        }
        case 5: return plist_new_date(std::int32_t(m_random()), 0);
        case 6: {
            plist_t array = plist_new_array();
            for (std::uint32_t i = below(4); i > 0; --i)
                plist_array_append_item(array, randomNode(depth + 1));
            return array;
        }
        default: {
            plist_t dictionary = plist_new_dict();
            for (std::uint32_t i = below(4); i > 0; --i)
                plist_dict_set_item(dictionary, pick(kKeys), randomNode(depth + 1));
            return dictionary;
        }
        }
    }

    static QByteArray toXml(plist_t root)
    {
        char* bytes = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(root, &bytes, &length);
        QByteArray result(bytes, qsizetype(length));
        plist_to_xml_free(bytes);
        return result;
    }

    static QByteArray toBinary(plist_t root)
    {
        char* bytes = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(root, &bytes, &length);
        QByteArray result(bytes, qsizetype(length));
        plist_to_bin_free(bytes);
        return result;
    }

    void mutate(QByteArray& bytes)
    {
        for (std::uint32_t i = 1 + below(6); i > 0 && !bytes.isEmpty(); --i) {
            const qsizetype at = below(std::uint32_t(bytes.size()));
            switch (below(6)) {
            case 0: bytes[at] = char(below(256)); break;
            case 1: bytes[at] = char(bytes[at] ^ (1 << below(8))); break;
            case 2: bytes.remove(at, 1 + below(16)); break;
            case 3: bytes.insert(at, randomBytes(1 + below(8))); break;
            case 4: bytes.insert(at, pick(kXmlTokens)); break;
            default: bytes.truncate(at); break;
            }
        }
    }

    std::mt19937_64 m_random;
};

bool atDownloadLocation(const QUrl& url)
{
    const QString text = url.toString(QUrl::FullyEncoded);
    return url.scheme() == QStringLiteral("https")
        && ((text.startsWith(kTestLocation1) && url.host() == QStringLiteral("downloads.test.example"))
            || (text.startsWith(kTestLocation2) && url.host() == QStringLiteral("mirror.test.example")));
}

} // namespace

class ManifestPropertyTest : public QObject {
    Q_OBJECT
private slots:
    void randomManifests()
    {
        constexpr std::uint64_t kSeed = 20240611;
        constexpr int kIterations = 100'000;
        constexpr qint64 kBudgetMs = 30'000;
        Generator generator(kSeed);
        FakeCheck launch;
        launch.addStatusItem();
        launch.ui->answer = [](const Alert& alert) { return int(alert.buttons.size()) - 1; };
        int offers = 0;
        int errors = 0;
        int iterations = 0;
        QElapsedTimer timer;
        timer.start();
        for (; iterations < kIterations && timer.elapsed() < kBudgetMs; ++iterations) {
            const QByteArray body = generator.body();
            launch.ui->alerts.clear();
            launch.ui->opened.clear();
            launch.statusItem.setText(QStringLiteral("Update not checked"));
            launch.check->offerUpdate(body, QStringLiteral("1.4"));

            int offersHere = 0;
            for (const Alert& alert : std::as_const(launch.ui->alerts)) {
                if (alert.style == AlertStyle::Critical) {
                    QVERIFY2(isErrorAlert(alert, kUnreadable) || isErrorAlert(alert, kNoEntries), body.toBase64().constData());
                    QCOMPARE(launch.ui->alerts.size(), 1);
                    ++errors;
                } else {
                    QCOMPARE(alert.buttons, (QStringList{QStringLiteral("Ignore"), QStringLiteral("Download")}));
                    ++offersHere;
                }
            }
            QCOMPARE(launch.ui->opened.size(), offersHere);
            for (const QUrl& url : std::as_const(launch.ui->opened))
                QVERIFY2(atDownloadLocation(url), qPrintable(url.toString() + QLatin1Char(' ') + body.toBase64()));
            offers += offersHere;
        }
        qInfo("seed %llu: %d manifests, %d offers, %d error alerts in %lld ms", static_cast<unsigned long long>(kSeed),
              iterations, offers, errors, static_cast<long long>(timer.elapsed()));
        // The generator must reach both outcomes, or the property says little.
        QVERIFY(iterations >= 1000);
        QVERIFY(offers > 0);
        QVERIFY(errors > 0);
    }
};

STRATALOOM_QTEST_MAIN(ManifestPropertyTest)
#include "ManifestPropertyTest.moc"
