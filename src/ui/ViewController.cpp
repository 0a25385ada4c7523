#include "ViewController.h"

#include "ArchiveOperation.h"
#include "FileVersionStore.h"
#include "SavePanel.h"
#include "UnarchiveOperation.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>

namespace strataloom {

namespace {

// Reports an operation's failures as sheets on the main window.
class SheetReporter final : public Reporter {
public:
    explicit SheetReporter(QWidget* window)
        : m_window(window)
    {
    }
    void showError(const QString& detail) override { ViewController::showErrorSheet(detail, m_window); }

private:
    QWidget* m_window;
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
    for (const FileUrl& url : urls) {
        if (url.hasDirectoryPath())
            unarchiveFolder(url);
        else
            archiveVersions(url);
    }
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
}

void ViewController::writeVersionsArchive(int response, SavePanel* panel, const FileUrl& fileURL,
                                          const std::string& baseName, const std::string& dottedExtension)
{
    SheetReporter reporter(m_window);
    strataloom::writeVersionsArchive(response, response == kResponseOK ? panel->URL() : std::nullopt, fileURL, baseName,
                                     dottedExtension, m_store, reporter);
}

void ViewController::unarchiveFolder(const FileUrl& folderURL)
{
    SheetReporter reporter(m_window);
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
}

void ViewController::writeUnarchivedFile(int response, SavePanel* panel, const std::string& lastFilePath,
                                         const std::vector<std::string>& names, const FileUrl& folderURL)
{
    SheetReporter reporter(m_window);
    strataloom::writeUnarchivedFile(response, response == kResponseOK ? panel->URL() : std::nullopt, lastFilePath,
                                    names, folderURL, m_store, reporter);
}

void ViewController::showErrorSheet(const QString& detail, QWidget* window)
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
}

} // namespace strataloom
