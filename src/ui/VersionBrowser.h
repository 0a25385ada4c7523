#pragma once

#include "FileUrl.h"
#include "FileVersionStore.h"

#include <QMainWindow>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMessageBox;
class QSortFilterProxyModel;
class QTemporaryDir;

namespace strataloom::store {
class ReadingSession;
}

namespace Ui {
class VersionBrowser;
}

namespace strataloom {

class EarlierHistoryChooser;
class ImagePreview;
class StoreChangeWatcher;
class VersionListModel;
struct DiffLine;

// A window listing one document's versions, with a preview of the selected
// one and the user's own actions on them. It reads the store through a
// FileVersionStore of its own and lists again whenever the store changes.
class VersionBrowser : public QMainWindow {
    Q_OBJECT
public:
    explicit VersionBrowser(FileUrl document, std::string storeLocation = FileVersionStore::defaultLocation(),
                            QWidget* parent = nullptr);
    ~VersionBrowser() override;

    const FileUrl& document() const { return m_document; }
    VersionListModel* model() const { return m_model; }

    // Lists the versions again, keeping the selected ones selected.
    void refresh();

    // The actions of the menu and toolbar, on the selected versions.
    void saveVersionNow();
    void restoreAsCopy();
    // Asks first, in a window-modal message box; returns it, open.
    QMessageBox* restoreInPlace();
    void setPinned(bool pinned);
    // Asks first, in a window-modal message box; returns it, open.
    QMessageBox* deleteVersions();
    void openCopy();

    // What the browser of a file without earlier versions says.
    static const QString& noVersionsYet();

signals:
    // The user asked to archive every version, as a drop of the document does;
    // those of `earlier`, valid during the call, when an earlier history is chosen.
    void archiveRequested(const FileUrl& document, const EarlierHistory* earlier);

private:
    // The model rows of the selected versions, and of the one previewed.
    std::vector<int> selectedRows() const;
    std::optional<int> currentRow() const;
    // The selected stored versions: their listed numbers, for the user, and
    // their ids, which the actions go by, so that a version renumbered
    // meanwhile is still the one acted on.
    struct Chosen {
        std::vector<std::size_t> numbers;
        std::vector<std::string> ids;
    };
    Chosen chosenVersions() const;
    void selectRows(const std::vector<int>& rows, std::optional<int> current);
    void updateActions();
    void showPreview();
    void showText(const QString& legend, const QByteArray& contents, const QByteArray* current);
    // With two versions selected, shows the lines that differ from the older
    // to the newer, or why they cannot be compared; false otherwise.
    bool showComparison();
    void showDiffLines(const std::vector<DiffLine>& diff);
    void showFailure(const QString& detail);

    std::unique_ptr<Ui::VersionBrowser> m_ui;
    FileUrl m_document;
    std::string m_storeLocation;
    std::unique_ptr<FileVersionStore> m_store;
    VersionListModel* m_model = nullptr;
    QSortFilterProxyModel* m_sorted = nullptr;
    StoreChangeWatcher* m_watcher = nullptr;
    EarlierHistoryChooser* m_earlier = nullptr;
    ImagePreview* m_image = nullptr;
    // Previews of one listing read through one session: stepping through
    // versions decodes each record of their chains once. Made anew with
    // each listing.
    std::unique_ptr<store::ReadingSession> m_reading;
    // The read-only copies opened in other applications, removed with the window.
    std::unique_ptr<QTemporaryDir> m_openedCopies;
    int m_openedCount = 0;
};

} // namespace strataloom
