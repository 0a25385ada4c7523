#include "AppDelegate.h"

#include "AboutDialog.h"
#include "PreferencesDialog.h"
#include "VersionWindows.h"
#include "WatchedFoldersDialog.h"
#include "WatcherService.h"
#include "ui_MainWindow.h"

#ifdef STRATALOOM_UPDATE_CHECK
#include "MainWindowUpdateUi.h"
#include "UpdateCheck.h"
#endif

#include <QApplication>

namespace strataloom {

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent)
    , m_ui(std::make_unique<Ui::MainWindow>())
    , m_mainWindow(std::make_unique<QMainWindow>())
{
    m_ui->setupUi(m_mainWindow.get());
    m_viewController = new ViewController(m_mainWindow.get(), m_store, this);
    m_ui->centralWidget->setDelegate(m_viewController);
    connect(m_ui->openHelpAction, &QAction::triggered, this, &AppDelegate::openHelp);
    m_versionWindows = new VersionWindows(m_mainWindow.get(), m_viewController, m_store.location(), this);
    connect(m_ui->showVersionsAction, &QAction::triggered, m_versionWindows, &VersionWindows::chooseDocumentsToShow);
    connect(m_ui->allDocumentsAction, &QAction::triggered, m_versionWindows, &VersionWindows::showAllDocuments);
    connect(m_ui->archiveVersionsAction, &QAction::triggered, m_versionWindows, &VersionWindows::chooseFileToArchive);
    connect(m_ui->unarchiveFolderAction, &QAction::triggered, m_versionWindows,
            &VersionWindows::chooseFolderToUnarchive);
    connect(m_ui->watchedFoldersAction, &QAction::triggered, this, &AppDelegate::openWatchedFolders);
    connect(m_ui->aboutAction, &QAction::triggered, this, &AppDelegate::openAbout);
    connect(m_ui->preferencesAction, &QAction::triggered, this, &AppDelegate::openPreferences);
    // Quitting goes through the main window's close, which ends the application.
    connect(m_ui->quitAction, &QAction::triggered, m_mainWindow.get(), &QWidget::close);
#ifdef STRATALOOM_UPDATE_CHECK
    m_updateCheck = new UpdateCheck(std::make_unique<MainWindowUpdateUi>(m_mainWindow.get()),
                                    UpdateConfiguration::standard(), this);
#else
    m_ui->updateStatusAction->setText(kUpdatesFromDistribution);
#endif
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    checkForUpdatesIfDue();
}

void AppDelegate::applicationWillTerminate() {}

void AppDelegate::openHelp()
{
    auto controller = std::make_unique<HelpWindowController>();
    controller->showWindow();
    myHelpWindow.push_back(std::move(controller));
}

void AppDelegate::openWatchedFolders()
{
    if (m_watchedFolders)
        m_watchedFolders->refresh();
    else
        m_watchedFolders = new WatchedFoldersDialog(std::make_unique<SystemdWatcherService>(), m_mainWindow.get());
    m_watchedFolders->show();
    m_watchedFolders->raise();
    m_watchedFolders->activateWindow();
}

void AppDelegate::openPreferences()
{
    if (m_preferences)
        m_preferences->load();
    else
        m_preferences = new PreferencesDialog(m_mainWindow.get());
    m_preferences->show();
    m_preferences->raise();
    m_preferences->activateWindow();
}

QDialog* AppDelegate::openAbout()
{
    auto* about = new AboutDialog(m_store.location(), m_mainWindow.get());
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
    return about;
}

void AppDelegate::processItemsAlone(const std::vector<FileUrl>& items)
{
    // Each dialog closing would otherwise end the application before the
    // operation it started has run, and before its messages were read.
    QApplication::setQuitOnLastWindowClosed(false);
    connect(m_viewController, &ViewController::allItemsDone, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    m_viewController->processDroppedURLs(items);
}

void AppDelegate::checkForUpdatesIfDue()
{
#ifdef STRATALOOM_UPDATE_CHECK
    m_updateCheck->checkForUpdatesIfDue();
#endif
}

} // namespace strataloom
