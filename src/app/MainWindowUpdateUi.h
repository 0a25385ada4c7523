#pragma once

#include "UpdateUi.h"

#include <QMainWindow>
#include <QPointer>

namespace strataloom {

// The update check's alerts as application-modal message boxes, its status
// item in the main window's Help menu (the menu named "helpMenu"), and
// downloads opened in the desktop's default browser.
class MainWindowUpdateUi : public UpdateUi {
public:
    explicit MainWindowUpdateUi(QMainWindow* window);

    int runModal(const Alert& alert) override;
    QList<QAction*> helpMenuItems() const override;
    void openUrl(const QUrl& url) override;

private:
    QPointer<QMainWindow> m_window;
};

} // namespace strataloom
