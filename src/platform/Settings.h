#pragma once

#include <QSettings>

namespace strataloom {

// The user defaults: organisation and application "Strataloom", so
// $XDG_CONFIG_HOME/Strataloom/Strataloom.conf. An absent key reads as false or 0.0.
class Settings {
public:
    bool boolForKey(const QString& key) const;
    double doubleForKey(const QString& key) const;
    void setBool(bool value, const QString& key);
    void setDouble(double value, const QString& key);
    // The key reads as absent again, so that its reader's default applies.
    void remove(const QString& key);

private:
    mutable QSettings m_settings{QStringLiteral("Strataloom"), QStringLiteral("Strataloom")};
};

} // namespace strataloom
