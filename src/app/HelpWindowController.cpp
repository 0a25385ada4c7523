#include "HelpWindowController.h"

#include "WatcherUnit.h"
#include "ui_HelpWindow.h"

#include <QAction>
#include <QFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace strataloom {

#ifndef STRATALOOM_UPDATE_CHECK
namespace {

// A build without the update check: the section on its settings would describe
// settings that do nothing, so it says where updates come from instead.
void replaceUpdateCheckSection(QTextDocument* document)
{
    const auto isSectionHeading = [](const QTextBlock& block) {
        const int level = block.blockFormat().headingLevel();
        return level > 0 && level <= 2;
    };
    QTextBlock heading = document->begin();
    while (heading.isValid() && !(isSectionHeading(heading) && heading.text() == QStringLiteral("The update check")))
        heading = heading.next();
    if (!heading.isValid())
        return;
    QTextBlock end = heading.next();
    while (end.isValid() && !isSectionHeading(end))
        end = end.next();
    QTextCursor cursor(heading);
    if (end.isValid())
        cursor.setPosition(end.position() - 1, QTextCursor::KeepAnchor);
    else
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.insertMarkdown(QStringLiteral(
        "## Updates\n\nThis build of Strataloom does not look online for new releases, and the last item of "
        "the Help menu reads \"Updates come from your distribution\": your distribution delivers them with the "
        "rest of your software.\n"));
}

} // namespace
#endif

HelpWindowController::HelpWindowController()
    : m_ui(std::make_unique<Ui::HelpWindow>())
{
    m_ui->setupUi(this);
    // The command that starts the watcher depends on where it was installed.
    QTextCursor command = m_ui->helpText->document()->find(QStringLiteral("systemctl --user enable --now ")
                                                           + QString::fromLatin1(kWatcherUnitName));
    if (!command.isNull())
        command.insertText(QFile::decodeName(startWatcherCommand().c_str()));
#ifndef STRATALOOM_UPDATE_CHECK
    replaceUpdateCheckSection(m_ui->helpText->document());
#endif
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
