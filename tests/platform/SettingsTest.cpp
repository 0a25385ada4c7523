#include "platform/Settings.h"

#include <QFile>
#include <gtest/gtest.h>

#include <cstdlib>

namespace strataloom {
namespace {

TEST(Settings, AbsentKeysReadFalseAndZero)
{
    Settings settings;
    EXPECT_FALSE(settings.boolForKey(QStringLiteral("noUpdateCheck")));
    EXPECT_EQ(settings.doubleForKey(QStringLiteral("dateLastUpdateCheck")), 0.0);
}

TEST(Settings, ValuesPersistInTheUserConfigurationFile)
{
    {
        Settings settings;
        settings.setBool(true, QStringLiteral("noUpdateCheck"));
        settings.setDouble(86400.5, QStringLiteral("updateCheckInt"));
    }
    Settings reread;
    EXPECT_TRUE(reread.boolForKey(QStringLiteral("noUpdateCheck")));
    EXPECT_EQ(reread.doubleForKey(QStringLiteral("updateCheckInt")), 86400.5);
    EXPECT_TRUE(QFile::exists(QString::fromLocal8Bit(std::getenv("XDG_CONFIG_HOME"))
                              + QStringLiteral("/Strataloom/Strataloom.conf")));
}

} // namespace
} // namespace strataloom
