#pragma once

#include "update/UpdateCheck.h"
#include "update/UpdateUi.h"

#include <QAction>
#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

namespace strataloom::test {

// The download locations the tests configure.
inline const QString kTestLocation1 = QStringLiteral("https://downloads.test.example/strataloom/");
inline const QString kTestLocation2 = QStringLiteral("https://mirror.test.example/apps/strataloom/");

// Records every alert and every opened URL; answers alerts through `answer`
// (the first button unless told otherwise).
class FakeUpdateUi : public UpdateUi {
public:
    int runModal(const Alert& alert) override
    {
        alerts.append(alert);
        return answer ? answer(alert) : 0;
    }
    QList<QAction*> helpMenuItems() const override { return items; }
    void openUrl(const QUrl& url) override { opened.append(url); }

    QList<Alert> alerts;
    QList<QUrl> opened;
    QList<QAction*> items;
    std::function<int(const Alert&)> answer;
};

// An update check that reports to a fake, with the test download locations,
// the running version `version` and a clock the test sets.
struct FakeCheck {
    explicit FakeCheck(const QString& version = QStringLiteral("1.4"));
    // A Help menu whose only item is the unchecked status item.
    void addStatusItem();

    FakeUpdateUi* ui;
    QAction statusItem{QStringLiteral("Update not checked")};
    double now = 700'000'000.0;
    std::unique_ptr<UpdateCheck> check;
};

// One manifest entry; an empty field is left out of the dictionary.
struct TestEntry {
    QString appName;
    QString version;
    QString url;
};

QByteArray xmlManifest(const std::vector<TestEntry>& entries);
QByteArray binaryManifest(const std::vector<TestEntry>& entries);

// The detail texts of the error alerts.
inline const QString kUnreadable = QStringLiteral("Error in update Property List.");
inline const QString kNoEntries = QStringLiteral("Update Property List has no entries.");

// Whether `alert` is the update check's error alert with `detail`.
bool isErrorAlert(const Alert& alert, const QString& detail);

} // namespace strataloom::test
