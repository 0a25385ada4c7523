#pragma once

#include <QObject>

#include <string>

class QFileSystemWatcher;
class QTimer;

namespace strataloom {

// Tells when the version store at `location` may have changed: its index or
// the index's write-ahead log was written, or the store's folder changed (the
// index was made or replaced). A burst of changes is told once, after a
// short quiet time.
class StoreChangeWatcher : public QObject {
    Q_OBJECT
public:
    explicit StoreChangeWatcher(std::string location, QObject* parent = nullptr);

    static constexpr int kQuietTime = 300; // ms

signals:
    void storeChanged();

private:
    // Watches what exists now; a file replaced or made since is watched anew.
    void watchExisting();

    std::string m_location;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_quiet = nullptr;
};

} // namespace strataloom
