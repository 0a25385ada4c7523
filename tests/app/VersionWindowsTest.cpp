// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "VersionWindows.h"
#include "AppDelegate.h"
#include "OpenPanel.h"
#include "SavePanel.h"
#include "VersionBrowser.h"
#include "VersionListModel.h"
#include "support/ArchiveTestSupport.h"
#endif

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QtTest>

using namespace strataloom;
using namespace strataloom::test;

namespace {

class QuietAppDelegate : public AppDelegate {
public:
    void checkForUpdatesIfDue() override {}
};

} // namespace

// The File menu's items for those who do not drag, and the windows they open.
class VersionWindowsTest : public QObject {
    Q_OBJECT

private:
    static QList<SavePanel*> panels(QWidget* window)
    {
        QList<SavePanel*> open;
        for (SavePanel* panel : window->findChildren<SavePanel*>())
            if (panel->isVisible())
                open.append(panel);
        return open;
    }
    static QString proposedName(SavePanel* panel)
    {
        return panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
    }
    // Chooses `path` in the chooser the menu item opened, as the user would.
    static void choose(QAction* item, QWidget* window, const std::string& path)
    {
        item->trigger();
        OpenPanel* chooser = nullptr;
        for (OpenPanel* panel : window->findChildren<OpenPanel*>())
            if (panel->isVisible())
                chooser = panel;
        QVERIFY(chooser && chooser->windowModality() == Qt::WindowModal);
        chooser->selectFile(QFile::decodeName(QByteArray::fromStdString(path)));
        static_cast<QDialog*>(chooser)->accept();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private slots:
    void chosenItemsTakeTheRoadOfADropAndBrowsersOpenOncePerDocument()
    {
        QuietAppDelegate app;
        QMainWindow* window = app.mainWindow();
        FileVersionStore store;
        const std::string documents = makeScratchFolder("documents");
        const FileUrl document = documentWithVersions(store, documents, "r\xe9sum\xe9.txt", {"v0"}, "now");

        choose(window->findChild<QAction*>(QStringLiteral("archiveVersionsAction")), window, document.path());
        QVERIFY(window->isVisible());
        QCOMPARE(panels(window).size(), 1);
        QCOMPARE(proposedName(panels(window).first()), QStringLiteral("r\uFFFDsum\uFFFD versions"));
        // The name shown with replacement characters was chosen by its own bytes.
        static_cast<QDialog*>(panels(window).first())->done(QDialog::Accepted);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(entriesOf(documents + "/r\xe9sum\xe9 versions"), (std::set<std::string>{"r\xe9sum\xe9"
                                                                                         "00000.txt",
                                                                                         "r\xe9sum\xe9"
                                                                                         "00001.txt"}));

        const std::string folder = documents + "/archive";
        std::filesystem::create_directory(folder);
        writeFile(folder + "/Notes00000.txt", "0");
        writeFile(folder + "/Notes00001.txt", "1");
        choose(window->findChild<QAction*>(QStringLiteral("unarchiveFolderAction")), window, folder);
        QCOMPARE(panels(window).size(), 1);
        QCOMPARE(proposedName(panels(window).first()), QStringLiteral("Notes-Copy.txt"));
        panels(window).first()->reject();
        QCoreApplication::sendPostedEvents();

        // One browser per document; its Archive All… is a drop of the document too.
        VersionBrowser* browser = app.versionWindows()->showVersions(document);
        QCOMPARE(app.versionWindows()->showVersions(document), browser);
        QCOMPARE(app.versionWindows()->browsers().size(), 1u);
        QCOMPARE(browser->model()->rowCount(), 2);
        browser->findChild<QAction*>(QStringLiteral("archiveAllAction"))->trigger();
        QCOMPARE(panels(window).size(), 1);
        QCOMPARE(proposedName(panels(window).first()), QStringLiteral("r\uFFFDsum\uFFFD versions"));
        panels(window).first()->reject();
        QCoreApplication::sendPostedEvents();
        browser->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(app.versionWindows()->browsers().empty());
    }
};

STRATALOOM_QTEST_MAIN(VersionWindowsTest)
#include "VersionWindowsTest.moc"
