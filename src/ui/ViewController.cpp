#include "ViewController.h"

#include "ArchiveOperation.h"
#include "FileVersionStore.h"
#include "ProgressReporter.h"
#include "SavePanel.h"
#include "UnarchiveOperation.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMessageBox>

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
    m_waitingItems.insert(m_waitingItems.end(), urls.begin(), urls.end());
    openNextDroppedItem();
}

void ViewController::openNextDroppedItem()
{
    // An item whose answer needs no dialog lets the next one go at once.
    while (m_openDialogs == 0 && !m_waitingItems.empty()) {
        const FileUrl url = std::move(m_waitingItems.front());
        m_waitingItems.pop_front();
        if (url.hasDirectoryPath())
            unarchiveFolder(url);
        else
            archiveVersions(url);
    }
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

void ViewController::archiveVersions(const FileUrl& fileURL)
{
    const ArchiveNameParts parts = ArchiveNameParts::fromFileUrl(fileURL);
    auto* panel = new SavePanel(m_window);
    panel->setCanCreateDirectories(true);
    panel->setPrompt(QStringLiteral("Save to folder"));
    panel->setMessage(QStringLiteral("Enter the name of a new folder to contain versions"));
    panel->setDirectoryURL(fileURL);
    panel->setNameFieldFileName(parts.proposedFolderName());
    QPointer<ViewController> controller(this);
    panel->beginSheetModal([controller, panel, fileURL, parts](int response) {
        if (controller)
            controller->writeVersionsArchive(response, panel, fileURL, parts.baseName, parts.dottedExtension);
    });
    present(panel);
}

void ViewController::writeVersionsArchive(int response, SavePanel* panel, const FileUrl& fileURL,
                                          const std::string& baseName, const std::string& dottedExtension)
{
    beginOperation();
    ArchiveOutcome outcome;
    {
        SheetReporter sheets(*this);
        ProgressReporter reporter(sheets, m_window, QStringLiteral("Archiving Versions"));
        outcome = strataloom::writeVersionsArchive(response, response == kResponseOK ? panel->URL() : std::nullopt,
                                                   fileURL, baseName, dottedExtension, m_store, reporter);
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
        outcome = strataloom::writeUnarchivedFile(response, response == kResponseOK ? panel->URL() : std::nullopt,
                                                  lastFilePath, names, folderURL, m_store, reporter);
    }
    qCInfo(lcOperations, "unarchive ended: %s", outcomeName(outcome));
    dialogFinished();
}

void ViewController::presentErrorSheet(const QString& detail)
{
    present(showErrorSheet(detail, m_window));
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
