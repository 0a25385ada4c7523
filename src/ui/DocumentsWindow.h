#pragma once

#include "FileUrl.h"
#include "FileVersionStore.h"

#include <QMainWindow>

#include <memory>
#include <string>

namespace Ui {
class DocumentsWindow;
}

namespace strataloom {

class DocumentFilterModel;
class DocumentListModel;
class StoreChangeWatcher;

// Every document the version store knows, also those whose file is gone, from
// which the versions of one can be shown. Lists again when the store changes.
class DocumentsWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit DocumentsWindow(std::string storeLocation = FileVersionStore::defaultLocation(),
                             QWidget* parent = nullptr);
    ~DocumentsWindow() override;

    DocumentFilterModel* shownDocuments() const { return m_filter; }

    void refresh();
    void setOnlyGone(bool onlyGone);
    // Asks for the versions of the selected document, by the place it was last seen.
    void showVersionsOfSelected();

signals:
    void showVersionsRequested(const FileUrl& document);

private:
    void updateButton();

    std::unique_ptr<Ui::DocumentsWindow> m_ui;
    std::string m_storeLocation;
    DocumentListModel* m_documents = nullptr;
    DocumentFilterModel* m_filter = nullptr;
    StoreChangeWatcher* m_watcher = nullptr;
};

} // namespace strataloom
