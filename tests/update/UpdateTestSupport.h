#pragma once

#include "update/UpdateCheck.h"

#include <QAction>

#include <functional>
#include <memory>
#include <vector>

namespace strataloom::test {

inline const QString kTestLocation1 = QStringLiteral("https://downloads.test.example/strataloom/");
inline const QString kTestLocation2 = QStringLiteral("https://mirror.test.example/apps/strataloom/");

// Records alerts and opened URLs; answers every alert with button `answer`.
class FakeUpdateUi : public UpdateUi {
public:
    int runModal(const Alert& alert) override
    {
        alerts.append(alert);
        if (onAlert)
            onAlert();
        return answer;
    }
    QList<QAction*> helpMenuItems() const override { return items; }
    void openUrl(const QUrl& url) override { opened.append(url); }

    // One line per alert: the detail of an error alert, the message of an
    // offer, or "unexpected alert" when its form is wrong.
    QStringList summary() const;

    int answer = 0;
    std::function<void()> onAlert;
    QList<Alert> alerts;
    QList<QUrl> opened;
    QList<QAction*> items;
};

// A check reporting to a new fake, with the test download locations and the
// running version "1.4"; `adjust` may change the configuration further.
std::unique_ptr<UpdateCheck> makeCheck(FakeUpdateUi*& ui, const std::function<void(UpdateConfiguration&)>& adjust = {});

// A manifest of dictionaries with the keys "AppName", "Version" and "URL";
// an empty field is left out.
struct TestEntry {
    QString appName, version, url;
};
QByteArray manifest(const std::vector<TestEntry>& entries, bool binary = false);

} // namespace strataloom::test
