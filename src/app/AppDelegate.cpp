#include "AppDelegate.h"

#include "MainWindowUpdateUi.h"
#include "UpdateCheck.h"
#include "ui_MainWindow.h"

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
    // Quitting goes through the main window's close, which ends the application.
    connect(m_ui->quitAction, &QAction::triggered, m_mainWindow.get(), &QWidget::close);
    m_updateCheck = new UpdateCheck(std::make_unique<MainWindowUpdateUi>(m_mainWindow.get()),
                                    UpdateConfiguration::standard(), this);
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

void AppDelegate::checkForUpdatesIfDue()
{
    m_updateCheck->checkForUpdatesIfDue();
}

} // namespace strataloom
