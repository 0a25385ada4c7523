#include "WatcherService.h"

#include "ErrorMessage.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QStringList>

namespace strataloom {

namespace {

const QString kSystemd = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");

// One call; the reply's arguments, or none with the bus's reason, and the
// name of the error the manager answered in `errorName`.
std::optional<QVariantList> call(const QString& path, const QString& interface, const QString& method,
                                 const QVariantList& arguments, std::string* error, QString* errorName = nullptr)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fail(error, "no session bus to reach the service manager: " + bus.lastError().message().toStdString());
        return std::nullopt;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(kSystemd, path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus.call(message);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (errorName)
            *errorName = reply.errorName();
        fail(error, "the service manager answered " + method.toStdString() + " for " + SystemdWatcherService::kUnit
                        + " with an error: " + reply.errorMessage().toStdString());
        return std::nullopt;
    }
    return reply.arguments();
}

std::optional<QVariantList> callManager(const QString& method, const QVariantList& arguments, std::string* error,
                                        QString* errorName = nullptr)
{
    return call(kManagerPath, kManager, method, arguments, error, errorName);
}

} // namespace

SystemdWatcherService::SystemdWatcherService(std::string unitFile)
    : m_unitFile(std::move(unitFile))
{
}

std::optional<bool> SystemdWatcherService::isSwitchedOn(std::string* error)
{
    const QString unit = QString::fromLatin1(kUnit);
    // "enabled", "disabled" and the like; an error when no such unit is installed.
    QString errorName;
    auto fileState = callManager(QStringLiteral("GetUnitFileState"), {unit}, error, &errorName);
    // A unit outside the manager's search path is unknown by name until it is enabled by its path.
    if (!fileState && m_unitFile != kUnit
        && (errorName == QLatin1String("org.freedesktop.DBus.Error.FileNotFound")
            || errorName == QLatin1String("org.freedesktop.systemd1.NoSuchUnit")))
        fileState = QVariantList{QStringLiteral("disabled")};
    if (!fileState)
        return std::nullopt;
    const auto loaded = callManager(QStringLiteral("LoadUnit"), {unit}, error);
    if (!loaded)
        return std::nullopt;
    const auto activeState =
        call(loaded->value(0).value<QDBusObjectPath>().path(), QStringLiteral("org.freedesktop.DBus.Properties"),
             QStringLiteral("Get"), {QStringLiteral("org.freedesktop.systemd1.Unit"), QStringLiteral("ActiveState")},
             error);
    if (!activeState)
        return std::nullopt;
    const QString enabled = fileState->value(0).toString();
    const QString active = activeState->value(0).value<QDBusVariant>().variant().toString();
    return enabled.startsWith(QLatin1String("enabled")) || active == QLatin1String("active")
        || active == QLatin1String("activating") || active == QLatin1String("reloading");
}

bool SystemdWatcherService::switchOn(bool on, std::string* error)
{
    const QStringList units{QString::fromLatin1(kUnit)};
    const QString mode = QStringLiteral("replace");
    // As `systemctl --user enable --now`, and `disable --now` in reverse.
    if (on)
        return callManager(QStringLiteral("EnableUnitFiles"),
                           {QStringList{QFile::decodeName(m_unitFile.c_str())}, false, false}, error)
            && callManager(QStringLiteral("Reload"), {}, error)
            && callManager(QStringLiteral("StartUnit"), {units.first(), mode}, error);
    return callManager(QStringLiteral("StopUnit"), {units.first(), mode}, error)
        && callManager(QStringLiteral("DisableUnitFiles"), {units, false}, error)
        && callManager(QStringLiteral("Reload"), {}, error);
}

} // namespace strataloom
