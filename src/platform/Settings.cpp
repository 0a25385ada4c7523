#include "Settings.h"

namespace strataloom {

bool Settings::boolForKey(const QString& key) const
{
    return m_settings.value(key, false).toBool();
}

double Settings::doubleForKey(const QString& key) const
{
    bool ok = false;
    const double value = m_settings.value(key, 0.0).toDouble(&ok);
    return ok ? value : 0.0;
}

void Settings::setBool(bool value, const QString& key)
{
    m_settings.setValue(key, value);
    m_settings.sync();
}

void Settings::setDouble(double value, const QString& key)
{
    m_settings.setValue(key, value);
    m_settings.sync();
}

void Settings::remove(const QString& key)
{
    m_settings.remove(key);
    m_settings.sync();
}

} // namespace strataloom
