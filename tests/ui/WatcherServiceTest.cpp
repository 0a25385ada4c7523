// Qt's headers come first: moc cannot parse <compare> when it meets it first.
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include "WatcherService.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace strataloom;

namespace {

const QString kUnitPath = QStringLiteral("/org/freedesktop/systemd1/unit/strataloom_2dwatch_2eservice");

// The unit's state as the fake service manager keeps it, and every call made.
struct UnitState {
    std::mutex mutex;
    QString fileState = QStringLiteral("disabled");
    QString activeState = QStringLiteral("inactive");
    QStringList calls;

    void record(const QString& call)
    {
        const std::lock_guard lock(mutex);
        calls.append(call);
    }
};

// systemd's Manager methods with their argument types; replies the client ignores are left out.
class FakeManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Manager")
public:
    explicit FakeManager(UnitState& state)
        : m_state(state)
    {
    }

public slots:
    QString GetUnitFileState(const QString& file)
    {
        m_state.record("GetUnitFileState " + file);
        const std::lock_guard lock(m_state.mutex);
        // As systemd answers for a unit outside its search path and not linked into it.
        if (m_state.fileState.isEmpty())
            sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"),
                           QStringLiteral("No such file or directory"));
        return m_state.fileState;
    }
    QDBusObjectPath LoadUnit(const QString& name)
    {
        m_state.record("LoadUnit " + name);
        return QDBusObjectPath(kUnitPath);
    }
    void EnableUnitFiles(const QStringList& files, bool runtime, bool force)
    {
        m_state.record(QStringLiteral("EnableUnitFiles %1 %2 %3").arg(files.join(' ')).arg(runtime).arg(force));
        const std::lock_guard lock(m_state.mutex);
        m_state.fileState = QStringLiteral("enabled");
    }
    void DisableUnitFiles(const QStringList& files, bool runtime)
    {
        m_state.record(QStringLiteral("DisableUnitFiles %1 %2").arg(files.join(' ')).arg(runtime));
        const std::lock_guard lock(m_state.mutex);
        m_state.fileState = QStringLiteral("disabled");
    }
    void Reload() { m_state.record(QStringLiteral("Reload")); }
    QDBusObjectPath StartUnit(const QString& name, const QString& mode)
    {
        m_state.record("StartUnit " + name + " " + mode);
        const std::lock_guard lock(m_state.mutex);
        m_state.activeState = QStringLiteral("active");
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/1"));
    }
    QDBusObjectPath StopUnit(const QString& name, const QString& mode)
    {
        m_state.record("StopUnit " + name + " " + mode);
        const std::lock_guard lock(m_state.mutex);
        m_state.activeState = QStringLiteral("inactive");
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/2"));
    }

private:
    UnitState& m_state;
};

class FakeUnit : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Unit")
    Q_PROPERTY(QString ActiveState READ activeState)
public:
    explicit FakeUnit(UnitState& state)
        : m_state(state)
    {
    }
    QString activeState() const
    {
        const std::lock_guard lock(m_state.mutex);
        return m_state.activeState;
    }

private:
    UnitState& m_state;
};

} // namespace

TEST(WatcherService, WithoutASessionBusItSaysSo)
{
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/strataloom-test-bus");
    SystemdWatcherService service;
    std::string error;
    EXPECT_FALSE(service.isSwitchedOn(&error));
    EXPECT_NE(error.find("no session bus"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(service.switchOn(true, &error));
    EXPECT_NE(error.find("no session bus"), std::string::npos) << error;
}

// The calls and argument types the service manager expects, on a private bus
// with a stand-in for it answering from another thread.
class FakeSystemd : public testing::Test {
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            GTEST_SKIP() << "dbus-daemon is not installed";
        m_daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        ASSERT_TRUE(m_daemon.waitForReadyRead(30'000));
        const QByteArray address = m_daemon.readLine().trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        m_manager.moveToThread(&m_thread);
        m_unit.moveToThread(&m_thread);
        m_thread.start();
        QDBusConnection fake =
            QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("fake systemd"));
        ASSERT_TRUE(fake.registerObject(QStringLiteral("/org/freedesktop/systemd1"), &m_manager,
                                        QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(fake.registerObject(kUnitPath, &m_unit, QDBusConnection::ExportAllProperties));
        ASSERT_TRUE(fake.registerService(QStringLiteral("org.freedesktop.systemd1")));
    }

    void TearDown() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("fake systemd"));
        m_thread.quit();
        m_thread.wait();
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    // Switches on, then off, asking the state before each and at the end, as
    // the dialog does; every call the manager received.
    QStringList switchOnAndOff(SystemdWatcherService& service)
    {
        std::string error;
        EXPECT_EQ(service.isSwitchedOn(&error), false) << error;
        EXPECT_TRUE(service.switchOn(true, &error)) << error;
        EXPECT_EQ(service.isSwitchedOn(&error), true) << error;
        EXPECT_TRUE(service.switchOn(false, &error)) << error;
        EXPECT_EQ(service.isSwitchedOn(&error), false) << error;
        const std::lock_guard lock(m_state.mutex);
        return m_state.calls;
    }

    // The calls of switchOnAndOff() when enabling is given `unitFile`.
    static QStringList expectedCalls(const QString& unitFile)
    {
        const QString unit = QStringLiteral("strataloom-watch.service");
        const QStringList asked{"GetUnitFileState " + unit, "LoadUnit " + unit};
        QStringList expected = asked;
        expected << "EnableUnitFiles " + unitFile + " 0 0"
                 << "Reload"
                 << "StartUnit " + unit + " replace";
        expected << asked << "StopUnit " + unit + " replace"
                 << "DisableUnitFiles " + unit + " 0"
                 << "Reload";
        expected << asked;
        return expected;
    }

    UnitState m_state;

private:
    QProcess m_daemon;
    QThread m_thread;
    FakeManager m_manager{m_state};
    FakeUnit m_unit{m_state};
};

TEST_F(FakeSystemd, SwitchingEnablesAndStartsThenStopsAndDisablesTheUserUnit)
{
    SystemdWatcherService service(kWatcherUnitName);
    EXPECT_EQ(switchOnAndOff(service), expectedCalls(QStringLiteral("strataloom-watch.service")));
}

// Installed under a prefix systemd does not search, the unit is unknown by
// name until it is enabled by its path.
TEST_F(FakeSystemd, AUnitOutsideTheSearchPathIsEnabledByItsPath)
{
    const QString path = QStringLiteral("/home/someone/.local/lib/systemd/user/strataloom-watch.service");
    {
        const std::lock_guard lock(m_state.mutex);
        m_state.fileState.clear();
    }
    SystemdWatcherService service(path.toStdString());
    EXPECT_EQ(switchOnAndOff(service), expectedCalls(path));

    // By name, an unknown unit is a reason the switch cannot be used.
    {
        const std::lock_guard lock(m_state.mutex);
        m_state.fileState.clear();
    }
    std::string error;
    EXPECT_FALSE(SystemdWatcherService(kWatcherUnitName).isSwitchedOn(&error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

#include "WatcherServiceTest.moc"
