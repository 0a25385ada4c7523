#include "StoreChangeWatcher.h"

#include "StoreLayout.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QTimer>

#include <sys/stat.h>

namespace strataloom {

StoreChangeWatcher::StoreChangeWatcher(std::string location, QObject* parent)
    : QObject(parent)
    , m_location(std::move(location))
    , m_watcher(new QFileSystemWatcher(this))
    , m_quiet(new QTimer(this))
{
    m_quiet->setSingleShot(true);
    m_quiet->setInterval(kQuietTime);
    connect(m_quiet, &QTimer::timeout, this, [this] {
        watchExisting();
        emit storeChanged();
    });
    const auto changed = [this] { m_quiet->start(); };
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, changed);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, changed);
    watchExisting();
}

void StoreChangeWatcher::watchExisting()
{
    const std::string index = store::StoreLayout(m_location).indexPath();
    // Until the store is made, its nearest existing parent folder tells when it is.
    std::string folder = m_location;
    struct stat status {};
    while (::stat(folder.c_str(), &status) != 0 && folder.find('/') != std::string::npos && folder != "/")
        folder = folder.find_last_of('/') == 0 ? "/" : folder.substr(0, folder.find_last_of('/'));
    QStringList paths;
    for (const std::string& path : {folder, index, index + "-wal"})
        if (::stat(path.c_str(), &status) == 0)
            paths.append(QFile::decodeName(QByteArray::fromStdString(path)));
    const QStringList watched = m_watcher->files() + m_watcher->directories();
    QStringList stale;
    for (const QString& path : watched)
        if (!paths.contains(path))
            stale.append(path);
    if (!stale.isEmpty())
        m_watcher->removePaths(stale);
    QStringList fresh;
    for (const QString& path : paths)
        if (!watched.contains(path))
            fresh.append(path);
    if (!fresh.isEmpty())
        m_watcher->addPaths(fresh);
}

} // namespace strataloom
