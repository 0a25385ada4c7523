#include "AppDelegate.h"

#include "ui_MainWindow.h"

namespace strataloom {

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent), m_ui(std::make_unique<Ui::MainWindow>()), m_mainWindow(std::make_unique<QMainWindow>())
{
    m_ui->setupUi(m_mainWindow.get());
    m_viewController = new ViewController(m_mainWindow.get(), m_store, this);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
}

void AppDelegate::applicationWillTerminate()
{
}

} // namespace strataloom
