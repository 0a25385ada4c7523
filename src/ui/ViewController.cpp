#include "ViewController.h"

#include "ArchiveOperation.h"
#include "FileDialogLayout.h"
#include "FileVersionStore.h"
#include "Names.h"
#include "ProgressReporter.h"
#include "SavePanel.h"
#include "UnarchiveOperation.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>

#include <filesystem>

namespace strataloom {

namespace {

// The end of each archive and unarchive, for scripts that drive the window
// (QT_LOGGING_RULES="strataloom.operations.info=true"); quiet otherwise.
Q_LOGGING_CATEGORY(lcOperations, "strataloom.operations", QtWarningMsg)

const char* outcomeName(ArchiveOutcome outcome)
{
    switch (outcome) {
    case ArchiveOutcome::Written:
        return "written";
    case ArchiveOutcome::Declined:
        return "declined";
    case ArchiveOutcome::NoCurrentVersion:
        return "no current version";
    case ArchiveOutcome::Failed:
        break;
    }
    return "failed";
}

const char* outcomeName(UnarchiveOutcome outcome)
{
    switch (outcome) {
    case UnarchiveOutcome::Written:
        return "written";
    case UnarchiveOutcome::Declined:
        return "declined";
    case UnarchiveOutcome::Failed:
        break;
    }
    return "failed";
}

// Reports an operation's failures as sheets on the main window.
class SheetReporter final : public Reporter {
public:
    explicit SheetReporter(ViewController& controller)
        : m_controller(controller)
    {
    }
    void showError(const QString& detail) override { m_controller.presentErrorSheet(detail); }

private:
    ViewController& m_controller;
};

// How many entries `folder` holds; 0 when it is not a folder that can be listed,
// which the writer then reports as it always has.
std::size_t entriesIn(const std::string& folder)
{
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    std::size_t count = 0;
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error))
        ++count;
    return count;
}

QString shownName(const std::string& name)
{
    return QString::fromStdString(printableName(name));
}

} // namespace

ViewController::ViewController(QWidget* window, FileVersionStore& store, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_store(store)
{
    m_window->installEventFilter(this);
    if (m_window->isVisible())
        viewDidAppear();
}

const QString& ViewController::windowTitle()
{
    static const QString title = QStringLiteral("Strataloom \u2013 Version Archiver");
    return title;
}

void ViewController::viewDidAppear()
{
    if (m_window)
        m_window->setWindowTitle(windowTitle());
}

bool ViewController::windowShouldClose()
{
    QCoreApplication::quit();
    return true;
}

bool ViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_window) {
        if (event->type() == QEvent::Show) {
            viewDidAppear();
        } else if (event->type() == QEvent::Close) {
            if (windowShouldClose())
                event->accept();
            else
                event->ignore();
        }
    }
    return QObject::eventFilter(watched, event);
}

void ViewController::dragViewDidReceive(const std::vector<FileUrl>& fileURLs)
{
    processDroppedURLs(fileURLs);
}

void ViewController::processDroppedURLs(const std::vector<FileUrl>& urls)
{
    for (const FileUrl& url : urls)
        m_waitingItems.push_back({url, nullptr});
    openNextDroppedItem();
}

void ViewController::queueArchive(const FileUrl& fileURL, std::shared_ptr<VersionSource> source)
{
    m_waitingItems.push_back({fileURL, std::move(source)});
    openNextDroppedItem();
}

void ViewController::openNextDroppedItem()
{
    // An item whose answer needs no dialog lets the next one go at once.
    while (m_openDialogs == 0 && !m_waitingItems.empty()) {
        const WaitingItem item = std::move(m_waitingItems.front());
        m_waitingItems.pop_front();
        if (!item.source && item.url.hasDirectoryPath())
            unarchiveFolder(item.url);
        else
            archiveVersions(item.url, item.source);
    }
    if (m_openDialogs == 0 && m_waitingItems.empty())
        emit allItemsDone();
}

void ViewController::present(QDialog* dialog)
{
    ++m_openDialogs;
    // Queued, so that whatever the answer opens in turn, such as an error
    // sheet, is counted before the next item is considered.
    connect(dialog, &QDialog::finished, this, &ViewController::dialogFinished, Qt::QueuedConnection);
    dialog->raise();
    dialog->activateWindow();
}

void ViewController::beginOperation()
{
    // Counted as an open dialog: the operation lets events through while it
    // runs, and items dropped meanwhile must wait for it.
    ++m_openDialogs;
}

void ViewController::dialogFinished()
{
    --m_openDialogs;
    openNextDroppedItem();
}

void ViewController::archiveVersions(const FileUrl& fileURL, std::shared_ptr<VersionSource> source)
{
    const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(fileURL);
    auto* panel = new SavePanel(m_window);
    panel->setCanCreateDirectories(true);
    panel->setPrompt(QStringLiteral("Save to folder"));
    panel->setMessage(QStringLiteral("Enter the name of a new folder to contain versions"));
    panel->setDirectoryURL(fileURL);
    panel->setNameFieldFileName(parts.proposedFolderName());
    fitFileDialog(*panel, true);
    QPointer<ViewController> controller(this);
    panel->beginSheetModal([controller, panel, fileURL, parts, source](int response) {
        if (controller)
            controller->writeVersionsArchive(response, panel, fileURL, parts.baseName, parts.dottedExtension, source);
    });
    present(panel);
}

void ViewController::writeVersionsArchive(int response, SavePanel* panel, const FileUrl& fileURL,
                                          const std::string& baseName, const std::string& dottedExtension,
                                          std::shared_ptr<VersionSource> source)
{
    const std::optional<FileUrl> folder = response == kResponseOK ? panel->URL() : std::nullopt;
    // Versions of another file, or earlier ones of this file, are not mixed
    // with them without a word.
    if (folder) {
        if (const std::size_t entries = entriesIn(folder->path()); entries > 0) {
            askBeforeAddingTo(*folder, entries, fileURL, baseName, dottedExtension, std::move(source));
            return;
        }
    }
    archiveInto(response, folder, fileURL, baseName, dottedExtension, source);
}

QString ViewController::existingFolderQuestion(const std::string& folder, std::size_t entries, const std::string& file)
{
    const QString held =
        entries == 1
            ? QStringLiteral("\u201c%1\u201d already holds 1 file.").arg(shownName(folder))
            : QStringLiteral("\u201c%1\u201d already holds %2 files.").arg(shownName(folder), QString::number(entries));
    return held + QStringLiteral(" Versions of %1 would be added beside them.").arg(shownName(file));
}

void ViewController::askBeforeAddingTo(const FileUrl& folder, std::size_t entries, const FileUrl& fileURL,
                                       const std::string& baseName, const std::string& dottedExtension,
                                       std::shared_ptr<VersionSource> source)
{
    auto* question = new QMessageBox(m_window);
    question->setWindowModality(Qt::WindowModal);
    question->setIcon(QMessageBox::Question);
    question->setText(existingFolderQuestion(folder.lastPathComponent(), entries, fileURL.lastPathComponent()));
    QPushButton* add = question->addButton(QStringLiteral("Add Beside Them"), QMessageBox::AcceptRole);
    QPushButton* other = question->addButton(QStringLiteral("Choose Another Folder\u2026"), QMessageBox::ActionRole);
    question->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    question->setDefaultButton(other);
    QPointer<ViewController> controller(this);
    // Queued, as the count of open dialogs is, and ahead of it, so that the
    // next item waits for what the answer starts; the question goes only then.
    connect(
        question, &QMessageBox::finished, this,
        [controller, question, add, other, folder, fileURL, baseName, dottedExtension, source] {
            question->deleteLater();
            if (!controller)
                return;
            if (question->clickedButton() == add)
                controller->archiveInto(kResponseOK, folder, fileURL, baseName, dottedExtension, source);
            else if (question->clickedButton() == other)
                controller->archiveVersions(fileURL, source);
        },
        Qt::QueuedConnection);
    question->open();
    present(question);
}

void ViewController::archiveInto(int response, const std::optional<FileUrl>& folder, const FileUrl& fileURL,
                                 const std::string& baseName, const std::string& dottedExtension,
                                 const std::shared_ptr<VersionSource>& source)
{
    beginOperation();
    ArchiveOutcome outcome;
    {
        SheetReporter sheets(*this);
        ProgressReporter reporter(sheets, m_window, QStringLiteral("Archiving Versions"));
        outcome = strataloom::writeVersionsArchive(response, folder, fileURL, baseName, dottedExtension,
                                                   source ? *source : static_cast<VersionSource&>(m_store), reporter);
        if (outcome == ArchiveOutcome::Failed && reporter.stoppedByCancel() && folder)
            presentStopped(QStringLiteral("Archiving stopped: %1 of %2 versions are in \u201c%3\u201d.")
                               .arg(reporter.entriesBegun())
                               .arg(reporter.total())
                               .arg(shownName(folder->lastPathComponent())));
    }
    qCInfo(lcOperations, "archive ended: %s", outcomeName(outcome));
    dialogFinished();
}

void ViewController::unarchiveFolder(const FileUrl& folderURL)
{
    SheetReporter reporter(*this);
    std::optional<UnarchiveSource> source = listUnarchiveSource(folderURL, reporter);
    if (!source)
        return;
    auto* panel = new SavePanel(m_window);
    panel->setTreatsFilePackagesAsDirectories(true);
    panel->setCanCreateDirectories(true);
    panel->setPrompt(QStringLiteral("Unarchive to file"));
    panel->setMessage(QStringLiteral("Enter the name of a new file"));
    panel->setDirectoryURL(FileUrl::directoryFromPath(folderURL.deletingLastPathComponent().path()));
    panel->setNameFieldFileName(source->proposedName);
    QPointer<ViewController> controller(this);
    panel->beginSheetModal([controller, panel, source = std::move(*source)](int response) {
        if (controller)
            controller->writeUnarchivedFile(response, panel, source.lastFilePath, source.names, source.folder);
    });
    present(panel);
}

void ViewController::writeUnarchivedFile(int response, SavePanel* panel, const std::string& lastFilePath,
                                         const std::vector<std::string>& names, const FileUrl& folderURL)
{
    beginOperation();
    UnarchiveOutcome outcome;
    {
        SheetReporter sheets(*this);
        ProgressReporter reporter(sheets, m_window, QStringLiteral("Unarchiving"));
        const std::optional<FileUrl> file = response == kResponseOK ? panel->URL() : std::nullopt;
        outcome = strataloom::writeUnarchivedFile(response, file, lastFilePath, names, folderURL, m_store, reporter);
        // The first entry reported is the new file itself; each later one a version of it.
        if (outcome == UnarchiveOutcome::Failed && reporter.stoppedByCancel() && file && reporter.total() > 0)
            presentStopped(QStringLiteral("Unarchiving stopped: %1 of %2 versions were added to \u201c%3\u201d.")
                               .arg(reporter.entriesBegun() - 1)
                               .arg(reporter.total() - 1)
                               .arg(shownName(file->lastPathComponent())));
    }
    qCInfo(lcOperations, "unarchive ended: %s", outcomeName(outcome));
    dialogFinished();
}

void ViewController::presentErrorSheet(const QString& detail)
{
    present(showErrorSheet(detail, m_window));
}

void ViewController::presentStopped(const QString& text)
{
    auto* message = new QMessageBox(m_window);
    message->setAttribute(Qt::WA_DeleteOnClose);
    message->setWindowModality(Qt::WindowModal);
    message->setIcon(QMessageBox::Information);
    message->setText(text);
    message->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    message->open();
    present(message);
}

QMessageBox* ViewController::showErrorSheet(const QString& detail, QWidget* window)
{
    auto* alert = new QMessageBox(window);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->setIcon(QMessageBox::Critical);
    alert->setText(QStringLiteral("An error occurred in your last action:"));
    alert->setInformativeText(detail);
    alert->setStandardButtons(QMessageBox::NoButton);
    alert->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    alert->open();
    return alert;
}

} // namespace strataloom
