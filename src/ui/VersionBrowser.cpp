#include "VersionBrowser.h"

#include "DurableBatch.h"
#include "EarlierHistoryChooser.h"
#include "FileDescriptor.h"
#include "ImagePreview.h"
#include "InPlaceRestore.h"
#include "ItemCopy.h"
#include "LineDiff.h"
#include "Names.h"
#include "ReadingSession.h"
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

// Larger images are shown scaled down to this many pixels a side.
constexpr int kImageSide = 2048;

// Who a listed version is, whatever number it is listed under; empty for the
// current version.
std::string identityOf(const FileVersion& version)
{
    const auto& stored = version.storedAt();
    return stored ? stored->documentId + "/" + stored->file : std::string();
}

std::string identityOf(const VersionListModel::Entry& entry)
{
    return identityOf(entry.version);
}

} // namespace

VersionBrowser::VersionBrowser(FileUrl document, std::string storeLocation, QWidget* parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::VersionBrowser>())
    , m_document(std::move(document))
    , m_storeLocation(std::move(storeLocation))
    , m_store(std::make_unique<FileVersionStore>(m_storeLocation))
    , m_model(new VersionListModel(this))
    , m_sorted(new QSortFilterProxyModel(this))
    , m_watcher(new StoreChangeWatcher(m_storeLocation, this))
{
    m_reading = std::make_unique<store::ReadingSession>();
    m_ui->setupUi(this);
    m_earlier = new EarlierHistoryChooser(m_ui->centralWidget);
    m_ui->layout->insertWidget(1, m_earlier, 0, Qt::AlignLeft);
    connect(m_earlier, &EarlierHistoryChooser::historyChosen, this, &VersionBrowser::refresh);
    setWindowTitle(QStringLiteral("Versions of %1").arg(display(m_document.lastPathComponent())));
    m_sorted->setSourceModel(m_model);
    m_sorted->setSortRole(VersionListModel::SortRole);
    m_ui->versionTable->setModel(m_sorted);
    m_ui->versionTable->sortByColumn(VersionListModel::Number, Qt::AscendingOrder);
    m_ui->textPreview->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_image = new ImagePreview(m_ui->imageScroll, m_ui->imagePreview, m_ui->actualSizeCheck, this);

    connect(m_ui->saveNowAction, &QAction::triggered, this, &VersionBrowser::saveVersionNow);
    connect(m_ui->restoreAction, &QAction::triggered, this, &VersionBrowser::restoreInPlace);
    connect(m_ui->restoreCopyAction, &QAction::triggered, this, &VersionBrowser::restoreAsCopy);
    connect(m_ui->keepForeverAction, &QAction::triggered, this, [this] { setPinned(true); });
    connect(m_ui->dontKeepAction, &QAction::triggered, this, [this] { setPinned(false); });
    connect(m_ui->deleteVersionAction, &QAction::triggered, this, &VersionBrowser::deleteVersions);
    connect(m_ui->archiveAllAction, &QAction::triggered, this,
            [this] { emit archiveRequested(m_document, m_earlier->chosen()); });
    connect(m_ui->openButton, &QPushButton::clicked, this, &VersionBrowser::openCopy);
    // Two versions selected are compared with each other.
    connect(m_ui->versionTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &VersionBrowser::showPreview);
    connect(m_ui->versionTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &VersionBrowser::showPreview);
    connect(m_watcher, &StoreChangeWatcher::storeChanged, this, &VersionBrowser::refresh);
    refresh();
    // Headers count too: a long word in another language is not cut.
    m_ui->versionTable->horizontalHeader()->resizeSections(QHeaderView::ResizeToContents);
    // The keyboard moves through the versions from the start.
    m_ui->versionTable->setFocus();
}

VersionBrowser::~VersionBrowser()
{
    // Removed by their bytes: QTemporaryDir would miss names that are not UTF-8.
    if (m_openedCopies) {
        std::error_code error;
        std::filesystem::remove_all(QFile::encodeName(m_openedCopies->path()).toStdString(), error);
    }
}

const QString& VersionBrowser::noVersionsYet()
{
    static const QString text = QStringLiteral(
        "No earlier versions. Versions are kept when you ask for one, and each time the file is saved in a watched "
        "folder \u2014 Save a Version Now, or watch this folder (File \u25b8 Watched Folders\u2026).");
    return text;
}

void VersionBrowser::refresh()
{
    std::vector<std::string> selected;
    for (int row : selectedRows())
        selected.push_back(identityOf(m_model->entry(row)));
    const auto current = currentRow();
    const std::optional<std::string> currentIdentity =
        current ? std::optional(identityOf(m_model->entry(*current))) : std::nullopt;

    m_reading = std::make_unique<store::ReadingSession>();
    auto stored = m_store->otherVersionsOfItem(m_document);
    auto file = m_store->currentVersionOfItem(m_document);
    QString label = display(m_document.path());
    if (!stored)
        label += QStringLiteral("\nCouldn't read the version store at %1.").arg(display(m_storeLocation));
    else if (!file)
        label += QStringLiteral("\nThe file is gone: its versions are listed by the place it was last seen.");
    // A document that stood here before another took its place is listed on request.
    auto earlier = m_store->earlierHistoriesOfItem(m_document);
    m_earlier->setHistories(earlier ? std::move(*earlier) : std::vector<EarlierHistory>());
    if (const EarlierHistory* history = m_earlier->chosen()) {
        label += QStringLiteral("\nAn earlier document at this place: its versions can be restored or copied.");
        stored = history->versions;
    } else if (stored && stored->empty() && file) {
        label += QStringLiteral("\n") + noVersionsYet();
    }
    m_ui->documentLabel->setText(label);
    m_model->setVersions(stored ? std::move(*stored) : std::vector<FileVersion>(), std::move(file));

    // The same versions stay selected; at first, or when they are gone, the newest is.
    std::vector<int> rows;
    std::optional<int> newCurrent;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const std::string identity = identityOf(m_model->entry(row));
        if (std::find(selected.begin(), selected.end(), identity) != selected.end())
            rows.push_back(row);
        if (currentIdentity == identity)
            newCurrent = row;
    }
    if (rows.empty() && m_model->newestRow() >= 0) {
        rows = {m_model->newestRow()};
        newCurrent = rows.front();
    }
    selectRows(rows, newCurrent ? newCurrent : rows.empty() ? std::nullopt : std::optional(rows.back()));
    updateActions();
    showPreview();
}

std::vector<int> VersionBrowser::selectedRows() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_ui->versionTable->selectionModel()->selectedRows())
        rows.push_back(m_sorted->mapToSource(index).row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::optional<int> VersionBrowser::currentRow() const
{
    const QModelIndex index = m_sorted->mapToSource(m_ui->versionTable->selectionModel()->currentIndex());
    if (!index.isValid())
        return std::nullopt;
    return index.row();
}

void VersionBrowser::selectRows(const std::vector<int>& rows, std::optional<int> current)
{
    QItemSelectionModel* selection = m_ui->versionTable->selectionModel();
    QItemSelection chosen;
    for (int row : rows) {
        const QModelIndex index = m_sorted->mapFromSource(m_model->index(row, 0));
        chosen.select(index, index);
    }
    if (current) {
        const QModelIndex index = m_sorted->mapFromSource(m_model->index(*current, 0));
        selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
        m_ui->versionTable->scrollTo(index);
    }
    selection->select(chosen, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void VersionBrowser::updateActions()
{
    bool anyStored = false, anyPinned = false, anyUnpinned = false;
    for (int row : selectedRows()) {
        const VersionListModel::Entry& entry = m_model->entry(row);
        if (entry.current)
            continue;
        anyStored = true;
        (entry.version.isPinned() ? anyPinned : anyUnpinned) = true;
    }
    const int rows = m_model->rowCount();
    const bool hasFile = rows > 0 && m_model->entry(rows - 1).current;
    const auto current = currentRow();
    m_ui->saveNowAction->setEnabled(hasFile);
    const bool restorable = current && !m_model->entry(*current).current && m_model->entry(*current).local;
    m_ui->restoreAction->setEnabled(restorable && hasFile);
    m_ui->restoreCopyAction->setEnabled(restorable);
    // Pins and removals name the document's own versions; an earlier history is archived alone.
    const EarlierHistory* earlier = m_earlier->chosen();
    m_ui->keepForeverAction->setEnabled(!earlier && anyUnpinned);
    m_ui->dontKeepAction->setEnabled(!earlier && anyPinned);
    m_ui->deleteVersionAction->setEnabled(!earlier && anyStored);
    m_ui->archiveAllAction->setEnabled(earlier ? earlier->versions.size() > 1 : hasFile && rows > 1);
}

void VersionBrowser::showPreview()
{
    updateActions();
    const auto message = [this](const QString& text) {
        m_ui->previewMessage->setText(text);
        m_ui->previewStack->setCurrentWidget(m_ui->messagePage);
    };
    if (showComparison())
        return;
    const auto row = currentRow();
    if (!row) {
        message(m_model->rowCount() == 0 ? QStringLiteral("No versions of this document are stored.")
                                         : QStringLiteral("Select a version to see it here."));
        return;
    }
    const VersionListModel::Entry& entry = m_model->entry(*row);
    if (!entry.local) {
        message(entry.current ? QStringLiteral("The document's file cannot be read.")
                              : QStringLiteral("This version's contents are missing from the version store."));
        return;
    }
    const UniqueFd contents = entry.version.openContents(*m_reading);
    QFile file;
    if (!contents.valid() || !file.open(contents.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        message(QStringLiteral("This version cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }

    QImageReader reader(&file);
    reader.setDecideFormatFromContent(true);
    if (reader.canRead()) {
        const QSize size = reader.size();
        if (size.isValid() && (size.width() > kImageSide || size.height() > kImageSide))
            reader.setScaledSize(size.scaled(kImageSide, kImageSide, Qt::KeepAspectRatio));
        const QImage image = reader.read();
        if (!image.isNull()) {
            m_image->setImage(image);
            m_ui->previewStack->setCurrentWidget(m_ui->imagePage);
            return;
        }
    }

    bool truncated = false;
    const std::optional<QByteArray> text = readText(file, truncated);
    if (!text) {
        m_ui->previewStack->setCurrentWidget(m_ui->openPage);
        return;
    }
    if (truncated) {
        showText(QStringLiteral("Only the beginning of this version is shown."), *text, nullptr);
        return;
    }
    const int last = m_model->rowCount() - 1;
    if (entry.current || !m_model->entry(last).current || !m_model->entry(last).local) {
        showText(entry.current ? QStringLiteral("The document as it is now.") : QString(), *text, nullptr);
        return;
    }
    // Compared with the document as it is now, when that is text too.
    const UniqueFd now = m_model->entry(last).version.openContents(*m_reading);
    QFile nowFile;
    bool nowTruncated = false;
    std::optional<QByteArray> nowText;
    if (now.valid() && nowFile.open(now.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        nowText = readText(nowFile, nowTruncated);
    if (!nowText || nowTruncated) {
        showText(QString(), *text, nullptr);
        return;
    }
    showText(QString(), *text, &*nowText);
}

void VersionBrowser::showText(const QString& legend, const QByteArray& contents, const QByteArray* current)
{
    QPlainTextEdit* view = m_ui->textPreview;
    m_ui->previewStack->setCurrentWidget(m_ui->textPage);
    const std::optional<std::vector<DiffLine>> diff =
        current ? diffLines(linesOf(contents), linesOf(*current)) : std::nullopt;
    const bool changed = diff && std::any_of(diff->begin(), diff->end(), [](const DiffLine& line) {
                             return line.kind != DiffLine::Kind::Same;
                         });
    if (!changed) {
        m_ui->diffLegend->setText(!current ? legend
                                  : diff   ? QStringLiteral("The same lines as the document has now.")
                                           : QStringLiteral("Too different from the document as it is now to "
                                                              "compare; shown as it is."));
        m_ui->diffLegend->setVisible(!m_ui->diffLegend->text().isEmpty());
        view->setPlainText(QString::fromUtf8(contents));
        return;
    }
    m_ui->diffLegend->setText(
        QStringLiteral("Compared with the document as it is now: lines marked - are only in this version, lines "
                       "marked + only in the document."));
    m_ui->diffLegend->setVisible(true);
    showDiffLines(*diff);
}

} // namespace strataloom
