#pragma once

#include "FileVersionStore.h"
#include "HelpWindowController.h"
#include "ViewController.h"

#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <vector>

namespace Ui {
class MainWindow;
}

namespace strataloom {

class UpdateCheck;
class VersionWindows;
class PreferencesDialog;
class WatchedFoldersDialog;

// The Help menu's status item in a build without the update check.
inline const QString kUpdatesFromDistribution = QStringLiteral("Updates come from your distribution");

// The application's lifecycle: builds the main window from its .ui file with its
// controller and drop view, runs the launch-time work and opens help windows.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    QMainWindow* mainWindow() const { return m_mainWindow.get(); }
    ViewController* viewController() const { return m_viewController; }
    VersionWindows* versionWindows() const { return m_versionWindows; }

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    // Opens one more help window; earlier ones stay open.
    void openHelp();
    // Shows the Watched Folders dialog, made on first use and kept.
    void openWatchedFolders();
    // File > Preferences…, made on first use and kept; shows the settings as they are now.
    void openPreferences();
    // Help > About Strataloom.
    QDialog* openAbout();
    // For the file managers' actions: takes `items` the road of a drop with
    // only its dialogs shown, the main window hidden, and ends the application
    // once every item's dialogs and messages have been answered.
    void processItemsAlone(const std::vector<FileUrl>& items);

    // At launch: runs the update check when the settings say it is due; does
    // nothing in a build without it.
    virtual void checkForUpdatesIfDue();

    // Every help window opened, kept until the application ends.
    std::vector<std::unique_ptr<HelpWindowController>> myHelpWindow;

private:
    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<QMainWindow> m_mainWindow;
    FileVersionStore m_store;
    ViewController* m_viewController = nullptr;
    VersionWindows* m_versionWindows = nullptr;
    QPointer<WatchedFoldersDialog> m_watchedFolders;
    QPointer<PreferencesDialog> m_preferences;
#ifdef STRATALOOM_UPDATE_CHECK
    UpdateCheck* m_updateCheck = nullptr;
#endif
};

} // namespace strataloom
