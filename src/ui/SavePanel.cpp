#include "SavePanel.h"

#include "platform/Reporter.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include <filesystem>
#include <tuple>
#include <vector>

namespace strataloom {

SavePanel::SavePanel(QWidget* parent) : QFileDialog(parent)
{
    // Native dialogs drop the message on some desktops; Qt's own shows it everywhere.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);

    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    m_message->setVisible(false);
    // Put the message above the location and name rows by moving every row of
    // the dialog's grid down by one.
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        std::vector<std::tuple<QLayoutItem*, int, int, int, int>> items;
        for (int i = grid->count() - 1; i >= 0; --i) {
            int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
            grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
            items.emplace_back(grid->takeAt(i), row, column, rowSpan, columnSpan);
        }
        for (auto& [item, row, column, rowSpan, columnSpan] : items)
            grid->addItem(item, row + 1, column, rowSpan, columnSpan);
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
    const bool isFolder = std::filesystem::is_directory(path, error);
    setDirectory(QFile::decodeName(QByteArray::fromStdString(isFolder ? path : url.deletingLastPathComponent().path())));
}

void SavePanel::setNameFieldStringValue(const QString& name)
{
    selectFile(name);
    if (auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        field->setText(name);
        field->selectAll();
        field->setFocus();
    }
}

std::optional<FileUrl> SavePanel::URL() const
{
    const auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (field && field->text().isEmpty())
        return std::nullopt;
    const QStringList files = selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return std::nullopt;
    return FileUrl::fromPath(QFile::encodeName(files.first()).toStdString());
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
