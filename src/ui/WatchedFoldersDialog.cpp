#include "WatchedFoldersDialog.h"

#include "WatchSettings.h"
#include "WatchState.h"
#include "WatcherService.h"
#include "WatcherUnit.h"
#include "ui_WatchedFoldersDialog.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTimer>

#include <algorithm>

namespace strataloom {

namespace {

// Each item keeps its folder's exact bytes; its text may only approximate them.
constexpr int kPathRole = Qt::UserRole;
constexpr const char* kWatchRunCommand = "strataloom-cli watch run";

std::optional<std::string> chooseWithFolderDialog(QWidget* parent)
{
    const QString folder = QFileDialog::getExistingDirectory(parent, QStringLiteral("Watch Folder"), QDir::homePath());
    if (folder.isEmpty())
        return std::nullopt;
    return QFile::encodeName(folder).toStdString();
}

} // namespace

WatchedFoldersDialog::WatchedFoldersDialog(std::unique_ptr<WatcherService> service, QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::WatchedFoldersDialog>())
    , m_service(std::move(service))
    , m_chooseFolder(chooseWithFolderDialog)
{
    m_ui->setupUi(this);
    m_ui->statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connect(m_ui->addButton, &QPushButton::clicked, this, &WatchedFoldersDialog::addFolder);
    connect(m_ui->removeButton, &QPushButton::clicked, this, &WatchedFoldersDialog::removeSelectedFolders);
    connect(m_ui->folderList, &QListWidget::itemSelectionChanged, this,
            [this] { m_ui->removeButton->setEnabled(!m_ui->folderList->selectedItems().isEmpty()); });
    // Only the user's clicks switch the watcher, not the state shown by refresh().
    connect(m_ui->serviceSwitch, &QCheckBox::clicked, this, &WatchedFoldersDialog::switchWatcher);
    // The watcher starts and stops on its own too; while the dialog is shown
    // it asks again every second, which costs one lock test.
    m_poll = new QTimer(this);
    m_poll->setInterval(1000);
    connect(m_poll, &QTimer::timeout, this, &WatchedFoldersDialog::showRunning);
    refresh();
}

WatchedFoldersDialog::~WatchedFoldersDialog() = default;

void WatchedFoldersDialog::setFolderChooser(FolderChooser chooser)
{
    m_chooseFolder = std::move(chooser);
}

void WatchedFoldersDialog::showEvent(QShowEvent* event)
{
    m_poll->start();
    QDialog::showEvent(event);
}

void WatchedFoldersDialog::hideEvent(QHideEvent* event)
{
    m_poll->stop();
    QDialog::hideEvent(event);
}

void WatchedFoldersDialog::refresh()
{
    showFolders(WatchSettings().folders());
    std::string why;
    const std::optional<bool> on = m_service->isSwitchedOn(&why);
    m_ui->serviceSwitch->setEnabled(on.has_value());
    m_ui->serviceSwitch->setChecked(on.value_or(false));
    m_switchProblem =
        on ? QString() : QStringLiteral("Can't switch the watcher from here: ") + QString::fromStdString(why);
    m_ui->serviceSwitch->setToolTip(m_switchProblem);
    showRunning();
}

void WatchedFoldersDialog::showRunning()
{
    // Why the switch cannot be used is said here too: a tooltip is easily missed.
    const QString why =
        m_switchProblem.isEmpty() ? QString() : QStringLiteral("\n") + m_switchProblem + QStringLiteral(".");
    if (watcherRunning()) {
        m_ui->statusLabel->setText(QStringLiteral("The watcher is running.") + why);
        return;
    }
    QString text = QStringLiteral("The watcher is not running: files saved now get no versions.") + why;
    // Without the switch, the commands do what it would, or what it would for this session.
    if (!m_ui->serviceSwitch->isEnabled())
        text += QStringLiteral(" To start it now and at every login, run in a terminal:\n")
              + QFile::decodeName(startWatcherCommand().c_str())
              + QStringLiteral("\nor, to run it only while that terminal stays open:\n")
              + QString::fromLatin1(kWatchRunCommand);
    m_ui->statusLabel->setText(text);
}

void WatchedFoldersDialog::showFolders(const std::vector<std::string>& folders)
{
    m_ui->folderList->clear();
    for (const std::string& folder : folders) {
        auto* item = new QListWidgetItem(QFile::decodeName(QByteArray::fromStdString(folder)), m_ui->folderList);
        item->setData(kPathRole, QByteArray::fromStdString(folder));
    }
    m_ui->removeButton->setEnabled(false);
    m_ui->emptyLabel->setVisible(folders.empty());
}

void WatchedFoldersDialog::showProblem(const QString& problem)
{
    m_ui->problemLabel->setText(problem);
    m_ui->problemLabel->setVisible(!problem.isEmpty());
}

bool WatchedFoldersDialog::saveFolders(const std::vector<std::string>& folders)
{
    WatchSettings settings;
    settings.setFolders(folders);
    std::string error;
    if (!settings.save(&error)) {
        showProblem(QString::fromStdString(error));
        return false;
    }
    showProblem({});
    return true;
}

void WatchedFoldersDialog::addFolder()
{
    const std::optional<std::string> chosen = m_chooseFolder(this);
    if (!chosen)
        return;
    std::string error;
    const std::optional<std::string> folder = WatchSettings::watchableFolder(*chosen, &error);
    if (!folder) {
        showProblem(QString::fromStdString(error));
        return;
    }
    std::vector<std::string> folders = WatchSettings().folders();
    if (std::ranges::find(folders, *folder) == folders.end()) {
        folders.push_back(*folder);
        if (!saveFolders(folders))
            return;
    }
    showFolders(folders);
    for (int row = 0; row < m_ui->folderList->count(); ++row)
        if (m_ui->folderList->item(row)->data(kPathRole).toByteArray().toStdString() == *folder)
            m_ui->folderList->setCurrentRow(row);
}

void WatchedFoldersDialog::removeSelectedFolders()
{
    std::vector<std::string> folders = WatchSettings().folders();
    for (const QListWidgetItem* item : m_ui->folderList->selectedItems())
        std::erase(folders, item->data(kPathRole).toByteArray().toStdString());
    if (saveFolders(folders))
        showFolders(folders);
}

void WatchedFoldersDialog::switchWatcher(bool on)
{
    std::string error;
    if (m_service->switchOn(on, &error))
        showProblem({});
    else
        showProblem(QString::fromStdString(error));
    // Whatever happened, the switch shows what the service manager now says.
    refresh();
}

} // namespace strataloom
