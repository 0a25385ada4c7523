#pragma once

#include "DragViewDelegate.h"
#include "FileUrl.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QDialog;
class QMessageBox;

namespace strataloom {

class FileVersionStore;
class SavePanel;
class VersionSource;

// Controller of the main window: gives it its title, quits the application when
// it is closed, dispatches dropped URLs to archiving (files) and unarchiving
// (folders), and shows their failures in a sheet on the window. Dropped items
// are taken one at a time, in drop order: the next one's panel opens once every
// panel and sheet of the one before has been answered.
class ViewController : public QObject, public DragViewDelegate {
    Q_OBJECT
public:
    ViewController(QWidget* window, FileVersionStore& store, QObject* parent = nullptr);

    QWidget* window() const { return m_window; }

    // Each time the window is shown: sets its title.
    void viewDidAppear();
    // The window asks before closing: quit the application, allow the close.
    bool windowShouldClose();

    void dragViewDidReceive(const std::vector<FileUrl>& fileURLs) override;
    void processDroppedURLs(const std::vector<FileUrl>& urls);
    // Archives the versions `source` lists, named after `fileURL`, once the
    // items before it are done.
    void queueArchive(const FileUrl& fileURL, std::shared_ptr<VersionSource> source);

    // Archives the versions `source` lists for `fileURL` (the store's when
    // none is given), named after `fileURL`.
    void archiveVersions(const FileUrl& fileURL, std::shared_ptr<VersionSource> source = nullptr);
    // Asks first when the chosen folder already holds files, then archives.
    void writeVersionsArchive(int response, SavePanel* panel, const FileUrl& fileURL, const std::string& baseName,
                              const std::string& dottedExtension, std::shared_ptr<VersionSource> source = nullptr);

    void unarchiveFolder(const FileUrl& folderURL);
    void writeUnarchivedFile(int response, SavePanel* panel, const std::string& lastFilePath,
                             const std::vector<std::string>& names, const FileUrl& folderURL);

    // A window-modal critical message box; returns it at once, open.
    static QMessageBox* showErrorSheet(const QString& detail, QWidget* window);
    // Shows a failure as a sheet that holds back the next dropped item until answered.
    void presentErrorSheet(const QString& detail);

    // The question asked before archiving into `folder`, which holds `entries` files.
    static QString existingFolderQuestion(const std::string& folder, std::size_t entries, const std::string& file);

    static const QString& windowTitle();

signals:
    // Every item taken has been carried through and its dialogs and messages answered.
    void allItemsDone();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Gives `dialog`, just opened, the keyboard, and counts it as open until it finishes.
    void present(QDialog* dialog);
    // An archive or unarchive begins; it ends as a dialog does, with dialogFinished().
    void beginOperation();
    void dialogFinished();
    void openNextDroppedItem();
    void askBeforeAddingTo(const FileUrl& folder, std::size_t entries, const FileUrl& fileURL,
                           const std::string& baseName, const std::string& dottedExtension,
                           std::shared_ptr<VersionSource> source);
    void archiveInto(int response, const std::optional<FileUrl>& folder, const FileUrl& fileURL,
                     const std::string& baseName, const std::string& dottedExtension,
                     const std::shared_ptr<VersionSource>& source);
    // After Cancel: what the operation left, in a sheet that holds back the next item.
    void presentStopped(const QString& text);

    QPointer<QWidget> m_window;
    FileVersionStore& m_store;
    struct WaitingItem {
        FileUrl url;
        std::shared_ptr<VersionSource> source; // the store's versions when null
    };
    std::deque<WaitingItem> m_waitingItems;
    int m_openDialogs = 0;
};

} // namespace strataloom
