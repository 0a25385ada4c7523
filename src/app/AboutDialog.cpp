#include "AboutDialog.h"

#include "DisplayFormat.h"
#include "Names.h"

#include <QApplication>

#include <filesystem>

namespace strataloom {

AboutDialog::AboutDialog(const std::string& storeLocation, QWidget* parent)
    : QMessageBox(parent)
{
    setWindowTitle(QStringLiteral("About Strataloom"));
    setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    setText(QStringLiteral("<b>Strataloom %1</b>").arg(QApplication::applicationVersion().toHtmlEscaped()));
    setInformativeText(
        QStringLiteral("Keeps the history of your documents.<br><br>"
                       "Free software under the GNU General Public License, version 3 or later.<br><br>%1")
            .arg(storeDescription(storeLocation).toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"))));
    setTextFormat(Qt::RichText);
    setStandardButtons(QMessageBox::Close);
}

std::optional<std::uint64_t> AboutDialog::folderSize(const std::string& folder)
{
    std::error_code error;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, error)))
        return std::nullopt;
    std::uint64_t total = 0;
    // What cannot be read is left out of the sum rather than stopping it.
    std::filesystem::recursive_directory_iterator entries(folder,
                                                          std::filesystem::directory_options::skip_permission_denied,
                                                          error);
    for (; !error && entries != std::filesystem::recursive_directory_iterator(); entries.increment(error)) {
        std::error_code entryError;
        if (entries->is_regular_file(entryError) && !entries->is_symlink(entryError)) {
            const auto size = entries->file_size(entryError);
            if (!entryError)
                total += size;
        }
    }
    return total;
}

QString AboutDialog::storeDescription(const std::string& storeLocation)
{
    const QString where = QString::fromStdString(printableName(storeLocation));
    const auto size = folderSize(storeLocation);
    if (!size)
        return QStringLiteral("The version store will be kept in %1; no version has been kept yet.").arg(where);
    return QStringLiteral("The version store is %1\nand takes %2.").arg(where, displaySize(*size));
}

} // namespace strataloom
