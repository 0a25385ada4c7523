#include "MainWindowUpdateUi.h"

#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

namespace strataloom {

MainWindowUpdateUi::MainWindowUpdateUi(QMainWindow* window)
    : m_window(window)
{
}

int MainWindowUpdateUi::runModal(const Alert& alert)
{
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.setIcon(alert.style == AlertStyle::Critical ? QMessageBox::Critical : QMessageBox::Information);
    // The message carries the manifest's version: never read it as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    // One role for all, so the buttons keep the order they were given in.
    QList<QPushButton*> buttons;
    for (const QString& title : alert.buttons)
        buttons.append(box.addButton(title, QMessageBox::ActionRole));
    if (!buttons.isEmpty()) {
        box.setDefaultButton(buttons.first());
        box.setEscapeButton(buttons.first());
    }
    box.exec();
    return int(buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton())));
}

QList<QAction*> MainWindowUpdateUi::helpMenuItems() const
{
    const QMenu* helpMenu = m_window ? m_window->findChild<QMenu*>(QStringLiteral("helpMenu")) : nullptr;
    return helpMenu ? helpMenu->actions() : QList<QAction*>();
}

void MainWindowUpdateUi::openUrl(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

} // namespace strataloom
