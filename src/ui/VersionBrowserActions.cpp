// The version browser's actions on the versions chosen: saving, restoring,
// pinning, deleting, opening a copy.
#include "VersionBrowser.h"

#include "DurableBatch.h"
#include "EarlierHistoryChooser.h"
#include "FileDescriptor.h"
#include "ImagePreview.h"
#include "InPlaceRestore.h"
#include "ItemCopy.h"
#include "LineDiff.h"
#include "Names.h"
#include "RestoreConfirmation.h"
#include "StoreChangeWatcher.h"
#include "UrlConversion.h"
#include "VersionCopy.h"
#include "VersionEdits.h"
#include "VersionListModel.h"
#include "VersionText.h"
#include "ViewController.h"
#include "ui_VersionBrowser.h"

#include <QDesktopServices>
#include <QFile>
#include <QFontDatabase>
#include <QHeaderView>
#include <QImageReader>
#include <QMessageBox>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStatusBar>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

namespace {

std::vector<VersionChoice> choicesOf(const std::vector<std::string>& ids)
{
    std::vector<VersionChoice> choices;
    for (const std::string& id : ids)
        choices.push_back(VersionChoice::byId(id));
    return choices;
}

} // namespace

VersionBrowser::Chosen VersionBrowser::chosenVersions() const
{
    Chosen chosen;
    for (int row : selectedRows())
        if (!m_model->entry(row).current) {
            chosen.numbers.push_back(m_model->entry(row).number);
            chosen.ids.push_back(versionId(m_model->entry(row).version));
        }
    return chosen;
}

void VersionBrowser::showFailure(const QString& detail)
{
    ViewController::showErrorSheet(detail, this);
}

void VersionBrowser::saveVersionNow()
{
    std::string error;
    if (m_store->saveVersionOfItem(m_document, &error))
        statusBar()->showMessage(QStringLiteral("Saved a version of the document as it is now."));
    else
        showFailure(QStringLiteral("Couldn't save a version: %1").arg(display(error)));
    refresh();
}

void VersionBrowser::restoreAsCopy()
{
    const auto row = currentRow();
    if (!row || m_model->entry(*row).current)
        return;
    std::string error;
    const auto copy = restoreVersionAsCopy(m_model->entry(*row).version, m_document, &error);
    if (!copy) {
        showFailure(QStringLiteral("Couldn't restore the version as a copy: %1").arg(display(error)));
        return;
    }
    statusBar()->showMessage(
        QStringLiteral("Restored as \u201c%1\u201d.").arg(display(FileUrl::fromPath(*copy).lastPathComponent())));
}

QMessageBox* VersionBrowser::restoreInPlace()
{
    const auto row = currentRow();
    if (!row || m_model->entry(*row).current)
        return nullptr;
    // The version as it is when the user is asked, whatever is listed by the answer.
    const FileVersion version = m_model->entry(*row).version;
    const QString date = m_model->index(*row, VersionListModel::Modified).data().toString();
    QPushButton* restore = nullptr;
    QMessageBox* box = restoreConfirmation(this, date, display(m_document.lastPathComponent()), restore);
    connect(box, &QMessageBox::finished, this, [this, box, restore, version, date] {
        if (box->clickedButton() != restore)
            return;
        std::string error;
        const auto outcome = restoreVersionInPlace(*m_store, m_document, version, false, &error);
        if (!outcome)
            showFailure(QStringLiteral("Couldn't restore the version: %1").arg(display(error)));
        else if (outcome->unchanged)
            statusBar()->showMessage(QStringLiteral("The document holds the version of %1 already.").arg(date));
        else
            statusBar()->showMessage(
                QStringLiteral("Restored the version of %1. The contents before are kept as a version.").arg(date));
        refresh();
        // The keyboard goes on through the versions, to the one kept for undoing,
        // also where no window manager gives the window back its focus.
        activateWindow();
        m_ui->versionTable->setFocus();
    });
    box->open();
    return box;
}

void VersionBrowser::setPinned(bool pinned)
{
    const Chosen chosen = chosenVersions();
    if (chosen.ids.empty())
        return;
    std::string error;
    if (!setVersionsPinned(m_storeLocation, m_document.path(), choicesOf(chosen.ids), pinned, &error))
        showFailure((pinned ? QStringLiteral("Couldn't keep the versions forever: %1")
                            : QStringLiteral("Couldn't let the versions go: %1"))
                        .arg(display(error)));
    refresh();
}

QMessageBox* VersionBrowser::deleteVersions()
{
    // The versions as they are when the user is asked: a change meanwhile stops the removal.
    const Chosen chosen = chosenVersions();
    if (chosen.numbers.empty())
        return nullptr;
    const QString name = display(m_document.lastPathComponent());
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setText(
        chosen.numbers.size() == 1
            ? QStringLiteral("Delete version %1 of \u201c%2\u201d?").arg(QString::number(chosen.numbers[0]), name)
            : QStringLiteral("Delete %1 versions of \u201c%2\u201d?")
                  .arg(QString::number(chosen.numbers.size()), name));
    box->setInformativeText(
        QStringLiteral("Their contents are removed from the version store. This cannot be undone."));
    QPushButton* remove = box->addButton(QStringLiteral("Delete"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::finished, this, [this, box, remove, chosen] {
        if (box->clickedButton() != remove)
            return;
        std::string error;
        if (!strataloom::deleteVersions(m_storeLocation, m_document.path(), choicesOf(chosen.ids), false, &error))
            showFailure(QStringLiteral("Couldn't delete the versions: %1").arg(display(error)));
        refresh();
    });
    box->open();
    return box;
}

void VersionBrowser::openCopy()
{
    const auto row = currentRow();
    if (!row || !m_model->entry(*row).local)
        return;
    const VersionListModel::Entry& entry = m_model->entry(*row);
    if (!m_openedCopies) {
        m_openedCopies = std::make_unique<QTemporaryDir>();
        m_openedCopies->setAutoRemove(false);
    }
    if (!m_openedCopies->isValid()) {
        showFailure(QStringLiteral("Couldn't make a temporary folder: %1").arg(m_openedCopies->errorString()));
        m_openedCopies.reset();
        return;
    }
    // Each copy in a folder of its own, so that names never meet.
    const std::string folderPath =
        QFile::encodeName(m_openedCopies->path()).toStdString() + "/" + std::to_string(++m_openedCount);
    const std::string name = entry.current || !entry.version.dates()
                               ? m_document.lastPathComponent()
                               : restoredCopyName(m_document, entry.version.dates()->modification);
    std::string error;
    const UniqueFd contents = entry.version.openContents();
    if (::mkdir(folderPath.c_str(), 0700) != 0)
        error = std::strerror(errno);
    const UniqueFd folder(error.empty() ? ::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1);
    // A temporary copy: its batch is never made durable.
    DurableBatch batch;
    if (!contents.valid() || !folder.valid()
        || !copyFileInto(contents.get(), entry.version.URL().path(), folder.get(), folderPath, name, batch, &error)
        || fchmodat(folder.get(), name.c_str(), S_IRUSR, 0) != 0) {
        showFailure(QStringLiteral("Couldn't make a copy to open: %1")
                        .arg(error.empty() ? QString::fromLocal8Bit(std::strerror(errno)) : display(error)));
        return;
    }
    if (!QDesktopServices::openUrl(qurlFromFileUrl(FileUrl::fromPath(folderPath + "/" + name))))
        showFailure(QStringLiteral("No application could open the copy of this version."));
}

} // namespace strataloom
