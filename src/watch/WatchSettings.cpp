#include "WatchSettings.h"

#include "ErrorMessage.h"
#include "FileVersionStore.h"
#include "OwnFolders.h"
#include "Paths.h"
#include "SettingsSchema.h"
#include "WatchState.h"

#include <QByteArray>
#include <QFile>

#include <cmath>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>

namespace strataloom {

namespace {

const QString kFolders = settings::kWatchFolders.qtName();
const QString kPatterns = settings::kWatchExcludedPatterns.qtName();
const QString kSizeLimit = settings::kWatchSizeLimit.qtName();
const QString kQuietSeconds = settings::kWatchQuietSeconds.qtName();
const QString kFreeSpaceFloor = settings::kWatchFreeSpaceFloor.qtName();
// Each entry of a list is one QByteArray, which the file keeps byte for byte.
const QString kEntry = QStringLiteral("value");

bool isWithin(const std::string& path, const std::string& folder)
{
    return path == folder
        || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

} // namespace

std::optional<std::string> WatchSettings::watchableFolder(const std::string& path, std::string* error)
{
    if (path.empty()) {
        fail(error, "cannot watch an empty path");
        return std::nullopt;
    }
    const auto folder = realPath(path);
    struct stat status {};
    if (!folder || stat(folder->c_str(), &status) != 0) {
        fail(error, errnoMessage("cannot watch " + path));
        return std::nullopt;
    }
    if (!S_ISDIR(status.st_mode)) {
        fail(error, "cannot watch " + path + ": not a folder");
        return std::nullopt;
    }
    for (const auto& [own, what] : {std::pair{FileVersionStore::defaultLocation(), "the version store"},
                                    std::pair{watchStateFolder(), "the watcher's state folder"}}) {
        const auto resolved = realPath(own);
        if (resolved && isWithin(*folder, *resolved)) {
            fail(error, "cannot watch " + path + ": it is " + what + " or inside it (" + own + ")");
            return std::nullopt;
        }
    }
    if (const watch::OwnFolders own = watch::OwnFolders::ofUser();
        own.containsPath(*folder) || own.isOwnFolder(status)) {
        fail(error, "cannot watch " + path + ": it is one of Strataloom's own folders");
        return std::nullopt;
    }
    return folder;
}

std::vector<std::string> WatchSettings::readList(const QString& key) const
{
    std::vector<std::string> entries;
    const int size = m_settings.beginReadArray(key);
    for (int i = 0; i < size; ++i) {
        m_settings.setArrayIndex(i);
        const QByteArray entry = m_settings.value(kEntry).toByteArray();
        if (!entry.isEmpty())
            entries.push_back(entry.toStdString());
    }
    m_settings.endArray();
    return entries;
}

void WatchSettings::writeList(const QString& key, const std::vector<std::string>& entries)
{
    // A shorter list must not leave earlier entries behind.
    m_settings.remove(key);
    m_settings.beginWriteArray(key, static_cast<int>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        m_settings.setArrayIndex(static_cast<int>(i));
        m_settings.setValue(kEntry, QByteArray::fromStdString(entries[i]));
    }
    m_settings.endArray();
}

std::vector<std::string> WatchSettings::folders() const
{
    return readList(kFolders);
}

void WatchSettings::setFolders(const std::vector<std::string>& folders)
{
    writeList(kFolders, folders);
}

std::vector<std::string> WatchSettings::excludedPatterns() const
{
    return readList(kPatterns);
}

void WatchSettings::setExcludedPatterns(const std::vector<std::string>& patterns)
{
    writeList(kPatterns, patterns);
}

std::uint64_t WatchSettings::sizeLimit() const
{
    bool ok = false;
    const qulonglong value = m_settings.value(kSizeLimit).toULongLong(&ok);
    return ok && value > 0 ? value : kDefaultSizeLimit;
}

void WatchSettings::setSizeLimit(std::uint64_t bytes)
{
    m_settings.setValue(kSizeLimit, static_cast<qulonglong>(bytes));
}

std::optional<std::uint64_t> WatchSettings::freeSpaceFloor() const
{
    bool ok = false;
    const qulonglong value = m_settings.value(kFreeSpaceFloor).toULongLong(&ok);
    return ok ? std::optional<std::uint64_t>(value) : std::nullopt;
}

void WatchSettings::setFreeSpaceFloor(std::optional<std::uint64_t> bytes)
{
    if (bytes)
        m_settings.setValue(kFreeSpaceFloor, static_cast<qulonglong>(*bytes));
    else
        m_settings.remove(kFreeSpaceFloor);
}

std::chrono::milliseconds WatchSettings::quietPeriod() const
{
    bool ok = false;
    const double seconds = m_settings.value(kQuietSeconds).toDouble(&ok);
    // As --quiet-seconds takes it: from none to a day.
    if (!ok || !(seconds >= 0 && seconds <= 24 * 3600))
        return std::chrono::milliseconds(std::llround(settings::kWatchQuietSeconds.defaultValue * 1000));
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

void WatchSettings::setQuietPeriod(std::chrono::milliseconds period)
{
    m_settings.setValue(kQuietSeconds, double(period.count()) / 1000);
}

bool WatchSettings::save(std::string* error)
{
    m_settings.sync();
    if (m_settings.status() != QSettings::NoError)
        return fail(error, "cannot write the settings to " + fileName());
    return true;
}

std::string WatchSettings::fileName() const
{
    return QFile::encodeName(m_settings.fileName()).toStdString();
}

} // namespace strataloom
