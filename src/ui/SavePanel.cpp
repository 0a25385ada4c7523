#include "SavePanel.h"

#include "platform/Reporter.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <tuple>
#include <vector>

namespace strataloom {

namespace {

QString displayName(const std::string& bytes)
{
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

bool exists(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        const auto slash = std::min(path.find('/', start), path.size());
        if (slash > start)
            parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// The entry of `folder` whose name the dialog shows as `shown`. The dialog only
// has text, and a name that is not UTF-8 is shown with replacement characters,
// so such a name is found again by listing the folder.
std::string entryShownAs(const std::string& folder, const QString& shown)
{
    const std::string encoded = QFile::encodeName(shown).toStdString();
    if (exists(folder + "/" + encoded))
        return encoded;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.empty() ? "/" : folder.c_str()), closedir);
    std::vector<std::string> matches;
    while (listing) {
        const dirent* entry = readdir(listing.get());
        if (!entry)
            break;
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && displayName(name) == shown)
            matches.push_back(name);
    }
    if (matches.empty())
        return encoded;
    std::sort(matches.begin(), matches.end());
    return matches.front();
}

} // namespace

SavePanel::SavePanel(QWidget* parent) : QFileDialog(parent)
{
    // Native dialogs drop the message on some desktops; Qt's own shows it everywhere.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);

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
    m_directory = std::filesystem::is_directory(path, error) ? path : url.deletingLastPathComponent().path();
    setDirectory(displayName(m_directory));
}

void SavePanel::setNameFieldStringValue(const QString& name)
{
    m_name = QFile::encodeName(name).toStdString();
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

std::optional<FileUrl> SavePanel::URL() const
{
    const QLineEdit* field = nameField();
    if (field && field->text().isEmpty())
        return std::nullopt;
    const QStringList files = selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return std::nullopt;

    // Map the text path back to bytes one component at a time. While it follows
    // the folder and name this dialog was given, their own bytes are used.
    const QStringList shown = files.first().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const std::vector<std::string> given = components(m_directory);
    std::string path;
    bool onGivenPath = true;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const auto depth = static_cast<std::size_t>(i);
        std::string preferred;
        if (onGivenPath && depth < given.size())
            preferred = given[depth];
        else if (onGivenPath && depth == given.size() && i + 1 == shown.size())
            preferred = m_name;
        const bool keepPreferred = !preferred.empty() && displayName(preferred) == shown[i];
        path += "/" + (keepPreferred ? preferred : entryShownAs(path, shown[i]));
        onGivenPath = keepPreferred;
    }
    return FileUrl::fromPath(path.empty() ? std::string("/") : path);
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
