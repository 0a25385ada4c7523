#include "OpenPanel.h"

#include "ChosenPath.h"
#include "FileDialogLayout.h"
#include "SidebarPlaces.h"

#include <filesystem>

namespace strataloom {

OpenPanel::OpenPanel(QWidget* parent, const QString& title, const QString& prompt, FileMode mode)
    : QFileDialog(parent, title)
{
    setOption(QFileDialog::DontUseNativeDialog);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setAcceptMode(QFileDialog::AcceptOpen);
    setFileMode(mode);
    if (mode == QFileDialog::Directory)
        setOption(QFileDialog::ShowDirsOnly);
    setLabelText(QFileDialog::Accept, prompt);
    setSidebarUrls(sidebarPlaces());
    fitFileDialog(*this, mode == QFileDialog::Directory);
}

void OpenPanel::accept()
{
    // Items of the kind asked for are taken by their bytes; anything else
    // (a folder to enter, a name not found) is left to Qt's own handling.
    const QStringList files = selectedFiles();
    std::vector<std::string> paths;
    for (const QString& file : files) {
        const auto path = existingPathOf(file);
        std::error_code error;
        if (!path || std::filesystem::is_directory(*path, error) != (fileMode() == QFileDialog::Directory))
            break;
        paths.push_back(*path);
    }
    if (paths.empty() || paths.size() != static_cast<std::size_t>(files.size())) {
        QFileDialog::accept();
        return;
    }
    m_chosen = std::move(paths);
    QDialog::accept();
}

} // namespace strataloom
