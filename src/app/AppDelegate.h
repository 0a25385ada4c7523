#pragma once

#include "platform/FileVersionStore.h"
#include "ui/ViewController.h"

#include <QMainWindow>
#include <QObject>

#include <memory>

namespace Ui {
class MainWindow;
}

namespace strataloom {

// The application's lifecycle: builds the main window from its .ui file with its
// controller, and runs the launch-time work.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    QMainWindow* mainWindow() const { return m_mainWindow.get(); }
    ViewController* viewController() const { return m_viewController; }

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

private:
    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<QMainWindow> m_mainWindow;
    FileVersionStore m_store;
    ViewController* m_viewController = nullptr;
};

} // namespace strataloom
