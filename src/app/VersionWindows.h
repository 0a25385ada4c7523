#pragma once

#include "FileUrl.h"
#include "FileVersionStore.h"

#include <QFileDialog>
#include <QObject>
#include <QPointer>

#include <functional>
#include <string>
#include <vector>

class QMainWindow;

namespace strataloom {

class DocumentsWindow;
class VersionBrowser;
class ViewController;

// The windows the version menus open: a browser per document, the list of
// every document in the store, and the choosers of the File menu for those who
// do not drag. Archiving and unarchiving a chosen item take the road of a drop
// on the main window. Each window is deleted when it is closed; those still
// open go with this object.
class VersionWindows : public QObject {
    Q_OBJECT
public:
    VersionWindows(QMainWindow* mainWindow, ViewController* controller,
                   std::string storeLocation = FileVersionStore::defaultLocation(), QObject* parent = nullptr);
    ~VersionWindows() override;

    // Opens a browser of `document`'s versions, or brings forward the one open.
    VersionBrowser* showVersions(const FileUrl& document);
    DocumentsWindow* showAllDocuments();
    // Hands `items` to the main window, shown, as if they had been dropped on it.
    void dropItems(const std::vector<FileUrl>& items);

    // The choosers of the File menu, window-modal on the main window; each
    // returns at once, open.
    QFileDialog* chooseDocumentsToShow();
    QFileDialog* chooseFileToArchive();
    QFileDialog* chooseFolderToUnarchive();

    std::vector<VersionBrowser*> browsers() const;

private:
    QFileDialog* choose(const QString& title, const QString& prompt, QFileDialog::FileMode mode,
                        std::function<void(const std::vector<std::string>&)> chosen);

    QMainWindow* m_mainWindow;
    ViewController* m_controller;
    std::string m_storeLocation;
    std::vector<QPointer<VersionBrowser>> m_browsers;
    QPointer<DocumentsWindow> m_documents;
};

} // namespace strataloom
