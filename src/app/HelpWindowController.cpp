#include "HelpWindowController.h"

#include "ui_HelpWindow.h"

#include <QAction>

namespace strataloom {

HelpWindowController::HelpWindowController()
    : m_ui(std::make_unique<Ui::HelpWindow>())
{
    m_ui->setupUi(this);
    // Read and put away: Esc and Ctrl+W close the window, as in other viewers.
    auto* closeAction = new QAction(this);
    closeAction->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)});
    connect(closeAction, &QAction::triggered, this, &QWidget::close);
    addAction(closeAction);
}

HelpWindowController::~HelpWindowController() = default;

void HelpWindowController::showWindow()
{
    show();
    raise();
    activateWindow();
}

} // namespace strataloom
