#include "SavePanel.h"

#include "FileDialogLayout.h"
#include "Reporter.h"
#include "SidebarPlaces.h"

#include <QAbstractItemView>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include <filesystem>
#include <tuple>
#include <vector>

namespace strataloom {

namespace {

QString displayName(const std::string& bytes)
{
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

std::string fileName(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

// The dialog lists folders by text, so it cannot open a folder whose path is
// not UTF-8, nor one that is gone; it would open the working folder instead.
// The nearest folder above that it can open is shown then.
std::string openableFolder(std::string path)
{
    std::error_code error;
    while (path.size() > 1 && (fileName(displayName(path)) != path || !std::filesystem::is_directory(path, error)))
        path = FileUrl::fromPath(path).deletingLastPathComponent().path();
    return path;
}

} // namespace

SavePanel::SavePanel(QWidget* parent)
    : QFileDialog(parent)
{
    // Native dialogs drop the message on some desktops; Qt's own shows it everywhere.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setSidebarUrls(sidebarPlaces());
    fitFileDialog(*this, false);
    m_prompt = labelText(QFileDialog::Accept);

    // Qt's dialog relabels its button "Open" while the name is that of a
    // folder; confirming chooses the folder here, so the prompt is put back
    // after each of the dialog's own updates, which these signals run first.
    const auto keepPrompt = [this] {
        if (labelText(QFileDialog::Accept) != m_prompt)
            setLabelText(QFileDialog::Accept, m_prompt);
    };
    if (QLineEdit* field = nameField())
        connect(field, &QLineEdit::textChanged, this, keepPrompt);
    if (QAbstractItemView* list = listView()) {
        connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this, keepPrompt);
        connect(list->selectionModel(), &QItemSelectionModel::currentChanged, this, keepPrompt);
    }

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("messageLabel"));
    m_message->setWordWrap(true);
    m_message->setVisible(false);
    // Put the message above the location and name rows by moving every row of
    // the dialog's grid down by one. Widgets and layouts are added back through
    // the calls that keep them owned by the grid.
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        std::vector<std::tuple<QLayoutItem*, int, int, int, int>> items;
        for (int i = grid->count() - 1; i >= 0; --i) {
            int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
            grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
            items.emplace_back(grid->takeAt(i), row, column, rowSpan, columnSpan);
        }
        for (auto& [item, row, column, rowSpan, columnSpan] : items) {
            if (QWidget* widget = item->widget()) {
                grid->addWidget(widget, row + 1, column, rowSpan, columnSpan, item->alignment());
                delete item;
            } else if (QLayout* child = item->layout()) {
                grid->addLayout(child, row + 1, column, rowSpan, columnSpan, item->alignment());
            } else {
                grid->addItem(item, row + 1, column, rowSpan, columnSpan, item->alignment());
            }
        }
        grid->addWidget(m_message, 0, 0, 1, grid->columnCount());
    }
}

void SavePanel::setTreatsFilePackagesAsDirectories(bool)
{
    // Linux has no file packages: every folder is browsed as a folder.
}

void SavePanel::setCanCreateDirectories(bool value)
{
    setOption(QFileDialog::ReadOnly, !value);
}

void SavePanel::setPrompt(const QString& title)
{
    m_prompt = title;
    setLabelText(QFileDialog::Accept, title);
}

void SavePanel::setMessage(const QString& message)
{
    m_message->setText(message);
    m_message->setVisible(!message.isEmpty());
}

QString SavePanel::message() const
{
    return m_message->text();
}

void SavePanel::setDirectoryURL(const FileUrl& url)
{
    std::error_code error;
    const std::string path = url.path();
    setDirectory(displayName(
        openableFolder(std::filesystem::is_directory(path, error) ? path : url.deletingLastPathComponent().path())));
}

void SavePanel::setNameFieldStringValue(const QString& name)
{
    m_name = fileName(name);
    showName(name);
}

void SavePanel::setNameFieldFileName(const std::string& name)
{
    m_name = name;
    showName(displayName(name));
}

void SavePanel::showName(const QString& name)
{
    selectFile(name);
    if (auto* field = nameField()) {
        field->setText(name);
        field->selectAll();
        field->setFocus();
    }
}

QLineEdit* SavePanel::nameField() const
{
    return findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

QAbstractItemView* SavePanel::listView() const
{
    return findChild<QAbstractItemView*>(QStringLiteral("listView"));
}

std::optional<FileUrl> SavePanel::URL() const
{
    const QLineEdit* field = nameField();
    if (field && field->text().isEmpty())
        return std::nullopt;
    const QStringList files = selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return std::nullopt;

    return locationOf(files.first());
}

FileUrl SavePanel::locationOf(const QString& chosen) const
{
    // The proposed name is shown as text; when it is still the name chosen, its
    // own bytes are used, so a name that is not UTF-8 is kept.
    const qsizetype slash = chosen.lastIndexOf(QLatin1Char('/'));
    if (!m_name.empty() && chosen.mid(slash + 1) == displayName(m_name))
        return FileUrl::fromPath(fileName(chosen.left(slash + 1)) + m_name);
    return FileUrl::fromPath(fileName(chosen));
}

bool SavePanel::namesExistingFolder() const
{
    const QLineEdit* field = nameField();
    if (!field)
        return false;
    QString name = field->text();
    if (name.isEmpty() || name == QLatin1String(".."))
        return false;
    // The dialog reads a leading "~" as the home folder; so does this.
    if (name == QLatin1String("~") || name.startsWith(QLatin1String("~/")))
        name.replace(0, 1, QDir::homePath());
    std::error_code error;
    return std::filesystem::is_directory(locationOf(QDir(directory()).absoluteFilePath(name)).path(), error);
}

void SavePanel::accept()
{
    if (!namesExistingFolder()) {
        QFileDialog::accept();
        return;
    }
    // A folder picked in the list must not stand in for the name typed.
    if (QAbstractItemView* list = listView())
        list->clearSelection();
    QDialog::accept();
}

void SavePanel::beginSheetModal(std::function<void(int)> completion)
{
    setWindowModality(Qt::WindowModal);
    connect(this, &QDialog::finished, this, [this, completion = std::move(completion)](int result) {
        completion(result == QDialog::Accepted ? kResponseOK : kResponseCancel);
        deleteLater();
    });
    open();
}

} // namespace strataloom
