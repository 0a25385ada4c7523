#include "UpdateCheck.h"

#include "ManifestReader.h"
#include "Settings.h"
#include "SettingsSchema.h"

#include <QAction>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace strataloom {

namespace {

constexpr double kDefaultInterval = settings::kUpdateCheckInterval.defaultValue;
// 2001-01-01 00:00:00 UTC in seconds since the Unix epoch.
constexpr double kReferenceDateInUnixSeconds = 978307200.0;
constexpr int kDownloadButton = 1;

const QString kAppName = QStringLiteral("Strataloom");
const QString kStatusUnchecked = QStringLiteral("Update not checked");
const QString kStatusChecked = QStringLiteral("Checked for update");
const QString kNoVersionDetail = QStringLiteral("Can't check for updates:\nNo app version string found.");
const QString kUnreadableManifestDetail = QStringLiteral("Error in update Property List.");
const QString kNoEntriesDetail = QStringLiteral("Update Property List has no entries.");

// Texts are equal when they hold the same characters up to canonical equivalence.
bool sameText(const QString& a, const QString& b)
{
    return a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

// The media type alone, without parameters such as "; charset=utf-8".
QByteArray mediaType(const QByteArray& contentType)
{
    const qsizetype semicolon = contentType.indexOf(';');
    return (semicolon < 0 ? contentType : contentType.left(semicolon)).trimmed();
}

} // namespace

UpdateConfiguration UpdateConfiguration::standard()
{
    UpdateConfiguration configuration;
    configuration.manifestURL = QUrl(QStringLiteral(STRATALOOM_MANIFEST_URL));
    configuration.downloadLocations = {QStringLiteral(STRATALOOM_DOWNLOAD_LOCATION_1),
                                       QStringLiteral(STRATALOOM_DOWNLOAD_LOCATION_2)};
    configuration.infoDictionary = [] { return QVariantMap{{kShortVersionKey, QStringLiteral(STRATALOOM_VERSION)}}; };
    configuration.now = [] {
        return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - kReferenceDateInUnixSeconds;
    };
    return configuration;
}

UpdateCheck::UpdateCheck(std::unique_ptr<UpdateUi> ui, UpdateConfiguration configuration, QObject* parent)
    : QObject(parent)
    , m_ui(std::move(ui))
    , m_configuration(std::move(configuration))
    , m_network(new QNetworkAccessManager(this))
{
}

UpdateCheck::~UpdateCheck() = default;

void UpdateCheck::checkForUpdatesIfDue()
{
    Settings settings;
    const bool off = settings.boolForKey(kNoUpdateCheckKey);
    const double last = settings.doubleForKey(kDateLastUpdateCheckKey);
    const double stored = settings.doubleForKey(kUpdateCheckIntervalKey);
    // A stored NaN fails this test and is kept; it then fails the due test
    // below as well, so it switches the check off.
    const double interval = stored < 1.0 ? kDefaultInterval : stored;
    const double now = m_configuration.now();
    // Strictly less: an elapsed time equal to the interval is not yet due.
    if (!off && interval < now - last) {
        checkForUpdates();
        // Taken after the call, so after any alert it showed was dismissed.
        settings.setDouble(m_configuration.now(), kDateLastUpdateCheckKey);
    }
    settings.setBool(off, kNoUpdateCheckKey);
    settings.setDouble(interval, kUpdateCheckIntervalKey);
}

void UpdateCheck::checkForUpdates()
{
    const QVariantMap info = m_configuration.infoDictionary();
    if (info.isEmpty()) {
        emit checkEnded();
        return;
    }
    const QVariant version = info.value(kShortVersionKey);
    if (version.typeId() != QMetaType::QString) {
        showAlert(kNoVersionDetail);
        emit checkEnded();
        return;
    }
    // The manager's default settings: no time-out, cache policy or header is
    // set, and Qt 6 follows redirects that do not leave HTTPS.
    QNetworkReply* reply = m_network->get(QNetworkRequest(m_configuration.manifestURL));
    // A manifest is small: a larger body, declared or not, is not read into
    // memory but abandoned like a failed transfer.
    reply->setReadBufferSize(kMaxManifestBytes + 1);
    const auto abandonOversized = [reply] {
        if (reply->bytesAvailable() > kMaxManifestBytes
            || reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > kMaxManifestBytes)
            reply->abort();
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, abandonOversized);
    connect(reply, &QIODevice::readyRead, reply, abandonOversized);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, runningVersion = version.toString()] { handleUpdateResponse(reply, runningVersion); });
}

void UpdateCheck::handleUpdateResponse(QNetworkReply* reply, const QString& runningVersion)
{
    reply->deleteLater();
    // Every failed test ends the check silently: a transport error, a response
    // that is not HTTP, a status outside 2xx, or a type other than these two.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.toInt();
    const QByteArray type = mediaType(reply->rawHeader("Content-Type"));
    if (reply->error() != QNetworkReply::NoError || !status.isValid() || code < 200 || code > 299
        || (type != "text/xml" && type != "text/plain")) {
        emit checkEnded();
        return;
    }
    // The evaluation runs its modal alerts from the event loop, not inside the
    // reply's signal.
    QMetaObject::invokeMethod(
        this, [this, body = reply->readAll(), runningVersion] { offerUpdate(body, runningVersion); },
        Qt::QueuedConnection);
}

void UpdateCheck::offerUpdate(const QByteArray& body, const QString& runningVersion)
{
    evaluateManifest(body, runningVersion);
    emit checkEnded();
}

// A body that is no property list, an empty one included, or whose root is
// not an array is reported as an unreadable manifest. Within the array, an
// element that breaks the entry format (not a dictionary, or a key missing or
// not text) is skipped silently, as entries of other applications are: the
// manifest is shared, and one faulty entry must not hide the others.
void UpdateCheck::evaluateManifest(const QByteArray& body, const QString& runningVersion)
{
    const std::optional<std::vector<ManifestEntry>> entries = readManifest(body);
    if (!entries) {
        showAlert(kUnreadableManifestDetail);
        return;
    }
    if (entries->empty()) {
        showAlert(kNoEntriesDetail);
        return;
    }
    for (const ManifestEntry& entry : *entries) {
        if (!entry.appName || !sameText(*entry.appName, kAppName))
            continue;
        markStatusItem();
        if (!entry.version || !entry.url || sameText(*entry.version, runningVersion))
            continue;
        const std::optional<QUrl> download = acceptedDownload(*entry.url);
        if (!download)
            continue;
        Alert offer;
        offer.style = AlertStyle::Informational;
        offer.messageText =
            QStringLiteral("An update to this app to version ") + *entry.version + QStringLiteral(" is available.");
        offer.informativeText =
            QStringLiteral("You are currently running Strataloom version ") + runningVersion
            + QStringLiteral(".\nPlease choose whether to download this update now in your default browser.");
        offer.buttons = {QStringLiteral("Ignore"), QStringLiteral("Download")};
        if (m_ui->runModal(offer) == kDownloadButton)
            m_ui->openUrl(*download);
    }
}

void UpdateCheck::markStatusItem()
{
    for (QAction* item : m_ui->helpMenuItems()) {
        if (sameText(item->text(), kStatusUnchecked)) {
            item->setCheckable(true);
            item->setChecked(true);
            item->setText(kStatusChecked);
            return;
        }
    }
}

// A download must be an https URL whose text begins with one of the download
// locations; a location merely contained somewhere in the text, as in
// "https://elsewhere/x?https://<location>/app.zip", would send the browser
// anywhere. The host and port are compared as well, so a location configured
// without its closing "/" cannot match a longer host name.
std::optional<QUrl> UpdateCheck::acceptedDownload(const QString& text) const
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return std::nullopt;
    const QString normalized = text.normalized(QString::NormalizationForm_C);
    for (const QString& location : m_configuration.downloadLocations) {
        const QUrl base(location, QUrl::StrictMode);
        if (normalized.startsWith(location.normalized(QString::NormalizationForm_C)) && url.host() == base.host()
            && url.port() == base.port())
            return url;
    }
    return std::nullopt;
}

void UpdateCheck::showAlert(const QString& detail)
{
    Alert alert;
    alert.style = AlertStyle::Critical;
    alert.messageText = QStringLiteral("An error occurred:");
    alert.informativeText = detail;
    alert.buttons = {QStringLiteral("OK")};
    m_ui->runModal(alert);
}

} // namespace strataloom
