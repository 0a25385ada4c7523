// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "EarlierHistorySource.h"
#include "SavePanel.h"
#include "VersionBrowser.h"
#include "ViewController.h"
#include "support/ArchiveTestSupport.h"
#endif

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

using namespace strataloom;
using namespace strataloom::test;

// An earlier history chosen in the browser is archived as a document is: the
// same panel, named after the earlier document, and its versions in order.
class EarlierHistoryArchiveTest : public QObject {
    Q_OBJECT

private slots:
    void archivesTheEarlierHistoryChosenThroughTheArchiveRoad()
    {
        FileVersionStore store(makeScratchFolder("store") + "/strataloom");
        const std::string documents = makeScratchFolder("documents");
        const FileUrl report = documentWithVersions(store, documents, "Report.txt", {"r0", "r1"}, "r2");
        const FileUrl notes = documentWithVersions(store, documents, "Notes.txt", {"n0"}, "n1");
        std::filesystem::rename(notes.path(), report.path());

        VersionBrowser browser(report, store.location());
        browser.show();
        std::optional<EarlierHistory> asked;
        int ownAsked = 0;
        connect(&browser, &VersionBrowser::archiveRequested, this, [&](const FileUrl&, const EarlierHistory* earlier) {
            if (earlier)
                asked = *earlier;
            else
                ++ownAsked;
        });
        browser.findChild<QComboBox*>("earlierHistoryChooser")->setCurrentIndex(1);
        auto* archiveAll = browser.findChild<QAction*>("archiveAllAction");
        QVERIFY(archiveAll->isEnabled());
        archiveAll->trigger();
        QCOMPARE(ownAsked, 0);
        QVERIFY(asked);
        QCOMPARE(asked->versions.size(), 2u);

        QWidget window;
        window.show();
        ViewController controller(&window, store);
        auto source = std::make_shared<EarlierHistorySource>(*asked);
        controller.queueArchive(source->lastURL(), source);
        auto* panel = window.findChild<SavePanel*>();
        QVERIFY(panel);
        QCOMPARE(panel->findChild<QLineEdit*>("fileNameEdit")->text(), QStringLiteral("Report versions"));
        panel->setDirectory(QString::fromStdString(documents));
        static_cast<QDialog*>(panel)->done(QDialog::Accepted);
        const std::string archive = documents + "/Report versions";
        QTRY_VERIFY(std::filesystem::exists(archive + "/Report00001.txt"));
        QCOMPARE(entriesOf(archive), (std::set<std::string>{"Report00000.txt", "Report00001.txt"}));
        QCOMPARE(readFile(archive + "/Report00001.txt"), std::string("r1"));
    }

    // A history of one version makes no archive, as a file without earlier
    // versions does not.
    void aHistoryOfOneVersionIsNotOfferedForArchiving()
    {
        FileVersionStore store(makeScratchFolder("store") + "/strataloom");
        const std::string documents = makeScratchFolder("documents");
        const FileUrl report = documentWithVersions(store, documents, "Report.txt", {"r0"}, "r1");
        const FileUrl notes = documentWithVersions(store, documents, "Notes.txt", {"n0", "n1"}, "n2");
        std::filesystem::rename(notes.path(), report.path());

        VersionBrowser browser(report, store.location());
        auto* archiveAll = browser.findChild<QAction*>("archiveAllAction");
        QVERIFY(archiveAll->isEnabled());
        browser.findChild<QComboBox*>("earlierHistoryChooser")->setCurrentIndex(1);
        QVERIFY(!archiveAll->isEnabled());
    }
};

STRATALOOM_QTEST_MAIN(EarlierHistoryArchiveTest)
#include "EarlierHistoryArchiveTest.moc"
