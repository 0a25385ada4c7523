#include "HelpWindowController.h"

#include "ui_HelpWindow.h"

namespace strataloom {

HelpWindowController::HelpWindowController()
    : m_ui(std::make_unique<Ui::HelpWindow>())
{
    m_ui->setupUi(this);
}

HelpWindowController::~HelpWindowController() = default;

void HelpWindowController::showWindow()
{
    show();
    raise();
    activateWindow();
}

} // namespace strataloom
