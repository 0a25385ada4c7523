#include "VersionWindows.h"

#include "ChosenPath.h"
#include "DocumentsWindow.h"
#include "EarlierHistorySource.h"
#include "OpenPanel.h"
#include "VersionBrowser.h"
#include "ViewController.h"

#include <QMainWindow>

namespace strataloom {

namespace {

void bringForward(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

VersionWindows::VersionWindows(QMainWindow* mainWindow, ViewController* controller, std::string storeLocation,
                               QObject* parent)
    : QObject(parent)
    , m_mainWindow(mainWindow)
    , m_controller(controller)
    , m_storeLocation(std::move(storeLocation))
{
}

VersionWindows::~VersionWindows()
{
    for (const QPointer<VersionBrowser>& browser : m_browsers)
        delete browser;
    delete m_documents;
}

std::vector<VersionBrowser*> VersionWindows::browsers() const
{
    std::vector<VersionBrowser*> open;
    for (const QPointer<VersionBrowser>& browser : m_browsers)
        if (browser)
            open.push_back(browser);
    return open;
}

VersionBrowser* VersionWindows::showVersions(const FileUrl& document)
{
    for (VersionBrowser* browser : browsers())
        if (browser->document().path() == document.path()) {
            bringForward(browser);
            return browser;
        }
    // No parent, so that a browser is a window of its own, which alone keeps
    // the application running when the main window is not shown.
    auto* browser = new VersionBrowser(document, m_storeLocation);
    browser->setAttribute(Qt::WA_DeleteOnClose);
    connect(browser, &VersionBrowser::archiveRequested, this,
            [this](const FileUrl& archived, const EarlierHistory* earlier) {
                if (!earlier)
                    return dropItems({archived});
                auto source = std::make_shared<EarlierHistorySource>(*earlier);
                bringForward(m_mainWindow);
                m_controller->queueArchive(source->lastURL(), source);
            });
    std::erase_if(m_browsers, [](const QPointer<VersionBrowser>& open) { return open.isNull(); });
    m_browsers.emplace_back(browser);
    bringForward(browser);
    return browser;
}

DocumentsWindow* VersionWindows::showAllDocuments()
{
    if (!m_documents) {
        m_documents = new DocumentsWindow(m_storeLocation);
        m_documents->setAttribute(Qt::WA_DeleteOnClose);
        connect(m_documents, &DocumentsWindow::showVersionsRequested, this, &VersionWindows::showVersions);
    } else {
        m_documents->refresh();
    }
    bringForward(m_documents);
    return m_documents;
}

void VersionWindows::dropItems(const std::vector<FileUrl>& items)
{
    bringForward(m_mainWindow);
    m_controller->processDroppedURLs(items);
}

QFileDialog* VersionWindows::choose(const QString& title, const QString& prompt, QFileDialog::FileMode mode,
                                    std::function<void(const std::vector<std::string>&)> chosen)
{
    auto* chooser = new OpenPanel(m_mainWindow, title, prompt, mode);
    // Once the chooser has closed, so that what the choice opens comes after it.
    connect(chooser, &QDialog::accepted, this, [this, chooser, chosen] {
        std::vector<std::string> paths = chooser->chosenPaths();
        // Accepted by Qt's own handling, e.g. of a path typed with a variable: found again here.
        for (const QString& file : paths.empty() ? chooser->selectedFiles() : QStringList()) {
            std::string error;
            const auto path = existingPathOf(file, &error);
            if (!path) {
                ViewController::showErrorSheet(QString::fromUtf8(error.data(), qsizetype(error.size())), m_mainWindow);
                return;
            }
            paths.push_back(*path);
        }
        if (!paths.empty())
            chosen(paths);
    });
    chooser->open();
    return chooser;
}

QFileDialog* VersionWindows::chooseDocumentsToShow()
{
    return choose(QStringLiteral("Show Versions"), QStringLiteral("Show Versions"), QFileDialog::ExistingFiles,
                  [this](const std::vector<std::string>& paths) {
                      for (const std::string& path : paths)
                          showVersions(FileUrl::fromPath(path));
                  });
}

QFileDialog* VersionWindows::chooseFileToArchive()
{
    return choose(QStringLiteral("Archive Versions"), QStringLiteral("Archive"), QFileDialog::ExistingFile,
                  [this](const std::vector<std::string>& paths) { dropItems({FileUrl::fromPath(paths.at(0))}); });
}

QFileDialog* VersionWindows::chooseFolderToUnarchive()
{
    return choose(QStringLiteral("Unarchive Folder"), QStringLiteral("Unarchive"), QFileDialog::Directory,
                  [this](const std::vector<std::string>& paths) {
                      dropItems({FileUrl::directoryFromPath(paths.at(0))});
                  });
}

} // namespace strataloom
