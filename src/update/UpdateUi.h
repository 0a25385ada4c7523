#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

class QAction;

namespace strataloom {

enum class AlertStyle { Informational, Critical };

// A modal alert as the update check asks for it: the buttons appear in this
// order and the first one is the default.
struct Alert {
    AlertStyle style = AlertStyle::Informational;
    QString messageText;
    QString informativeText;
    QStringList buttons;
};

// Where the update check asks and reports. The application implements it with
// message boxes, its Help menu and the desktop's browser; tests with fakes.
class UpdateUi {
public:
    virtual ~UpdateUi() = default;
    // Runs `alert` application-modally and returns the index of the chosen
    // button once the user has dismissed it.
    virtual int runModal(const Alert& alert) = 0;
    // The items of the application's Help menu; empty when there is no Help menu.
    virtual QList<QAction*> helpMenuItems() const = 0;
    // Opens `url` in the user's default browser.
    virtual void openUrl(const QUrl& url) = 0;
};

} // namespace strataloom
