#pragma once

#include <QMainWindow>

#include <memory>

namespace Ui {
class HelpWindow;
}

namespace strataloom {

// One help window, built from HelpWindow.ui each time help is opened. It has no
// parent, so an open help window never holds the application back from quitting.
class HelpWindowController : public QMainWindow {
    Q_OBJECT
public:
    HelpWindowController();
    ~HelpWindowController() override;

    void showWindow();

private:
    std::unique_ptr<Ui::HelpWindow> m_ui;
};

} // namespace strataloom
