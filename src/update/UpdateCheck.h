#pragma once

#include "SettingsSchema.h"
#include "UpdateUi.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace strataloom {

// The user-defaults keys of the update check.
inline const QString kNoUpdateCheckKey = settings::kNoUpdateCheck.qtName();
inline const QString kDateLastUpdateCheckKey = settings::kDateLastUpdateCheck.qtName();
inline const QString kUpdateCheckIntervalKey = settings::kUpdateCheckInterval.qtName();
// The key of the running version in the application's information.
inline const QString kShortVersionKey = QStringLiteral("CFBundleShortVersionString");

// Where the update check looks and what it knows of its surroundings. The
// standard configuration takes the addresses set when the application was
// built, the application's version and the system clock.
struct UpdateConfiguration {
    QUrl manifestURL;
    // URL prefixes ("https://host/path/") that a download must begin with.
    QStringList downloadLocations;
    // Facts about the application; empty when it has none. The running
    // version is the text under kShortVersionKey.
    std::function<QVariantMap()> infoDictionary;
    // The current time in seconds since 2001-01-01 00:00:00 UTC.
    std::function<double()> now;

    static UpdateConfiguration standard();
};

// At launch, when the user defaults say a check is due, fetches the update
// manifest over HTTPS, marks the Help menu's status item once this
// application's entry is found, and offers each published version that differs
// from the running one for download in the default browser.
class UpdateCheck : public QObject {
    Q_OBJECT
public:
    explicit UpdateCheck(std::unique_ptr<UpdateUi> ui,
                         UpdateConfiguration configuration = UpdateConfiguration::standard(),
                         QObject* parent = nullptr);
    ~UpdateCheck() override;

    // Decides from the user defaults whether a check is due, starts it if so and
    // records the time and the effective settings.
    void checkForUpdatesIfDue();
    // Starts the fetch and returns without waiting, or reports a missing version.
    void checkForUpdates();
    // Evaluates a fetched manifest: marks the status item and makes the offers.
    void offerUpdate(const QByteArray& body, const QString& runningVersion);
    // The update check's error alert; returns once the user has dismissed it.
    void showAlert(const QString& detail);

signals:
    // A check has ended: silently, after an alert, or after its offers.
    void checkEnded();

private:
    void handleUpdateResponse(QNetworkReply* reply, const QString& runningVersion);
    void evaluateManifest(const QByteArray& body, const QString& runningVersion);
    void markStatusItem();
    std::optional<QUrl> acceptedDownload(const QString& text) const;

    std::unique_ptr<UpdateUi> m_ui;
    UpdateConfiguration m_configuration;
    QNetworkAccessManager* m_network;
};

} // namespace strataloom
