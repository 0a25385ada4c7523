#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace Ui {
class WatchedFoldersDialog;
}

namespace strataloom {

class WatcherService;

// File ▸ Watched Folders…: the folders the watcher versions, with Add… and
// Remove written straight to the watcher's settings (the running watcher
// follows them), whether the watcher is running, and a switch that has the
// service manager run it in the background. A switch that cannot be used is
// disabled, the dialog saying why and what to run instead.
class WatchedFoldersDialog : public QDialog {
    Q_OBJECT
public:
    explicit WatchedFoldersDialog(std::unique_ptr<WatcherService> service, QWidget* parent = nullptr);
    ~WatchedFoldersDialog() override;

    // How Add… asks for a folder: its path as bytes, none when cancelled. A
    // folder dialog unless replaced.
    using FolderChooser = std::function<std::optional<std::string>(QWidget* parent)>;
    void setFolderChooser(FolderChooser chooser);

    // Reads the folders, whether the watcher runs and the switch again; done
    // when made, and to be done before showing the dialog again.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void addFolder();
    void removeSelectedFolders();
    void switchWatcher(bool on);
    void showRunning();
    // Saves `folders` as the watched ones; shows the reason and keeps the old list when that fails.
    bool saveFolders(const std::vector<std::string>& folders);
    void showFolders(const std::vector<std::string>& folders);
    void showProblem(const QString& problem);

    std::unique_ptr<Ui::WatchedFoldersDialog> m_ui;
    std::unique_ptr<WatcherService> m_service;
    FolderChooser m_chooseFolder;
    QTimer* m_poll = nullptr;
    QString m_switchProblem; // why the switch cannot be used; empty when it can
};

} // namespace strataloom
