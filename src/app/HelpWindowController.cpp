#include "HelpWindowController.h"

#include "WatcherUnit.h"
#include "ui_HelpWindow.h"

#include <QAction>
#include <QFile>
#include <QTextCursor>
#include <QTextDocument>

namespace strataloom {

HelpWindowController::HelpWindowController()
    : m_ui(std::make_unique<Ui::HelpWindow>())
{
    m_ui->setupUi(this);
    // The command that starts the watcher depends on where it was installed.
    QTextCursor command = m_ui->helpText->document()->find(QStringLiteral("systemctl --user enable --now ")
                                                           + QString::fromLatin1(kWatcherUnitName));
    if (!command.isNull())
        command.insertText(QFile::decodeName(startWatcherCommand().c_str()));
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
