// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "ProgressReporter.h"
#include "SavePanel.h"
#include "UnarchiveOperation.h"
#include "ViewController.h"
#include "support/ArchiveTestSupport.h"
#include "support/OperationTestSupport.h"
#endif

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace strataloom;
using namespace strataloom::test;

class ProgressReporterTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FileVersionStore> m_store;
    std::unique_ptr<QWidget> m_window;
    std::string m_documents;

    // Presses Cancel on the window's progress dialog as soon as events are let through,
    // which the operation does at its first entry.
    void cancelAtFirstEntry()
    {
        QTimer::singleShot(0, m_window.get(), [this] {
            if (auto* dialog = m_window->findChild<QProgressDialog*>())
                dialog->cancel();
        });
    }

    // Presses Cancel once `entries` entries have been begun: at the next time events are let through.
    void cancelAfterEntries(int entries)
    {
        QTimer::singleShot(0, m_window.get(), [this, entries] {
            auto* dialog = m_window->findChild<QProgressDialog*>();
            if (dialog && dialog->value() + 1 >= entries)
                dialog->cancel();
            else
                cancelAfterEntries(entries);
        });
    }

    QList<SavePanel*> panels() const
    {
        QList<SavePanel*> open;
        for (SavePanel* panel : m_window->findChildren<SavePanel*>())
            if (panel->isVisible())
                open.append(panel);
        return open;
    }

    QStringList stoppedMessages() const
    {
        QStringList texts;
        for (QMessageBox* box : m_window->findChildren<QMessageBox*>())
            if (box->isVisible())
                texts.append(box->icon() == QMessageBox::Information && box->windowModality() == Qt::WindowModal
                                 ? box->text()
                                 : QStringLiteral("unexpected box"));
        return texts;
    }

    void dismiss() const
    {
        for (QMessageBox* box : m_window->findChildren<QMessageBox*>())
            if (box->isVisible())
                box->buttons().first()->click();
        settle();
    }

    static void settle()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private slots:
    void init()
    {
        m_store = std::make_unique<FileVersionStore>();
        m_window = std::make_unique<QWidget>();
        m_window->show();
        m_documents = makeScratchFolder("documents");
    }

    void showsEachEntryInAWindowModalDialogAndPassesFailuresOn()
    {
        RecordingReporter failures;
        ProgressReporter reporter(failures, m_window.get(), QStringLiteral("Archiving Versions"));
        QVERIFY(!reporter.dialog());
        reporter.progress(1, 4, "Report00001.pages");
        QProgressDialog* dialog = reporter.dialog();
        QVERIFY(dialog && dialog->windowModality() == Qt::WindowModal);
        QCOMPARE(dialog->labelText(), QStringLiteral("Archiving Versions\nReport00001.pages"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Archiving Versions (2 of 4)"));
        reporter.showError(QStringLiteral("Couldn't create or write folder."));
        QCOMPARE(failures.errors, std::vector<std::string>{"Couldn't create or write folder."});
        QVERIFY(!reporter.shouldStop());
        dialog->cancel();
        QVERIFY(reporter.shouldStop());
    }

    // Stopped before its first version, unarchiving keeps the new file without
    // versions, as a failure there would, and reports no failure.
    void cancelStopsBetweenEntriesLeavingWhatAFailureLeaves()
    {
        const std::string folder = m_documents + "/Report versions";
        std::filesystem::create_directory(folder);
        for (const char* entry : {"Report00000.txt", "Report00001.txt", "Report00002.txt"})
            writeFile(folder + "/" + entry, entry);
        RecordingReporter failures;
        const auto source = listUnarchiveSource(FileUrl::directoryFromPath(folder), failures);
        QVERIFY(source);
        {
            ProgressReporter reporter(failures, m_window.get(), QStringLiteral("Unarchiving"));
            cancelAtFirstEntry();
            QCOMPARE(writeUnarchivedFile(kResponseOK, FileUrl::fromPath(m_documents + "/Copy.txt"),
                                         source->lastFilePath, source->names, source->folder, *m_store, reporter),
                     UnarchiveOutcome::Failed);
        }
        QVERIFY(failures.errors.empty());
        QVERIFY(!m_window->findChild<QProgressDialog*>());
        QCOMPARE(readFile(m_documents + "/Copy.txt"), std::string("Report00002.txt"));
        QCOMPARE(m_store->otherVersionsOfItem(FileUrl::fromPath(m_documents + "/Copy.txt"))->size(), 0u);
    }

    void aCancelledDropLetsTheNextDroppedItemAsk()
    {
        auto* controller = new ViewController(m_window.get(), *m_store, m_window.get());
        const FileUrl first = documentWithVersions(*m_store, m_documents, "first.txt", {"a0", "a1"}, "a");
        const FileUrl second = documentWithVersions(*m_store, m_documents, "second.txt", {"b0"}, "b");
        controller->dragViewDidReceive({first, second});
        QCOMPARE(panels().size(), 1);
        cancelAtFirstEntry();
        static_cast<QDialog*>(panels().first())->done(QDialog::Accepted);
        settle();
        QCOMPARE(entriesOf(m_documents + "/first versions"), std::set<std::string>{"first00000.txt"});
        // What the stop left is said first, and holds back the next item until answered.
        QCOMPARE(panels().size(), 0);
        QCOMPARE(stoppedMessages(),
                 QStringList{"Archiving stopped: 1 of 3 versions are in \u201cfirst versions\u201d."});
        dismiss();
        QCOMPARE(panels().size(), 1);
        QCOMPARE(panels().first()->findChild<QLineEdit*>("fileNameEdit")->text(), QStringLiteral("second versions"));
        panels().first()->reject();
        settle();

        // Unarchiving says how many versions the new file has, of how many; a drop carried through says nothing.
        for (const char* entry : {"first00001.txt", "first00002.txt", "first00003.txt"})
            writeFile(m_documents + "/first versions/" + entry, entry);
        controller->dragViewDidReceive({FileUrl::directoryFromPath(m_documents + "/first versions")});
        cancelAfterEntries(2);
        static_cast<QDialog*>(panels().first())->done(QDialog::Accepted);
        settle();
        QCOMPARE(stoppedMessages(),
                 QStringList{"Unarchiving stopped: 1 of 3 versions were added to \u201cfirst-Copy.txt\u201d."});
        QCOMPARE(m_store->otherVersionsOfItem(FileUrl::fromPath(m_documents + "/first-Copy.txt"))->size(), 1u);
        dismiss();
        QVERIFY(panels().isEmpty());
        std::filesystem::remove(m_documents + "/first-Copy.txt");
        controller->dragViewDidReceive({FileUrl::directoryFromPath(m_documents + "/first versions")});
        static_cast<QDialog*>(panels().first())->done(QDialog::Accepted);
        settle();
        QVERIFY(stoppedMessages().isEmpty());
        QCOMPARE(m_store->otherVersionsOfItem(FileUrl::fromPath(m_documents + "/first-Copy.txt"))->size(), 3u);
    }
};

STRATALOOM_QTEST_MAIN(ProgressReporterTest)
#include "ProgressReporterTest.moc"
