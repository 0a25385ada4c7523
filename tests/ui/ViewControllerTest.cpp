// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "ViewController.h"
#include "SavePanel.h"
#include "support/ArchiveTestSupport.h"
#endif

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

using namespace strataloom;
using namespace strataloom::test;

class ViewControllerTest : public QObject {
    Q_OBJECT

private:
    // The window and its controller go before the store they use.
    std::unique_ptr<FileVersionStore> m_store;
    std::unique_ptr<QWidget> m_window;
    ViewController* m_controller = nullptr;
    std::string m_documents;

    // The open dialogs and sheets, in the order they were begun.
    template <typename T> QList<T*> shown() const
    {
        QList<T*> open;
        for (T* child : m_window->findChildren<T*>(Qt::FindDirectChildrenOnly))
            if (child->isVisible())
                open.append(child);
        return open;
    }
    QList<SavePanel*> panels() const { return shown<SavePanel>(); }

    // The sheets' details, after checking what every error sheet shares.
    QStringList sheetDetails() const
    {
        QStringList details;
        for (QMessageBox* sheet : shown<QMessageBox>()) {
            if (sheet->windowModality() != Qt::WindowModal || sheet->icon() != QMessageBox::Critical
                || sheet->text() != QStringLiteral("An error occurred in your last action:")
                || sheet->buttons().size() != 1 || sheet->buttons().first()->text() != QStringLiteral("OK"))
                details.append(QStringLiteral("malformed sheet"));
            details.append(sheet->informativeText());
        }
        return details;
    }

    static QLineEdit* nameField(SavePanel* panel) { return panel->findChild<QLineEdit*>("fileNameEdit"); }

    // Closes `panel` as the user's confirmation does.
    static void confirm(SavePanel* panel)
    {
        static_cast<QDialog*>(panel)->done(QDialog::Accepted);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    FileUrl document(const std::string& name, const std::vector<std::string>& versions)
    {
        return documentWithVersions(*m_store, m_documents, name, versions, "now");
    }

    // A folder `name` beside the documents holding entries whose contents are their names.
    FileUrl archiveFolder(const std::string& name, const std::vector<std::string>& entries)
    {
        const std::string folder = m_documents + "/" + name;
        std::filesystem::create_directory(folder);
        for (const std::string& entry : entries)
            writeFile(folder + "/" + entry, entry);
        return FileUrl::directoryFromPath(folder);
    }

private slots:
    void init()
    {
        m_window = std::make_unique<QWidget>();
        m_store = std::make_unique<FileVersionStore>();
        m_controller = new ViewController(m_window.get(), *m_store, m_window.get());
        m_documents = makeScratchFolder("documents");
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void aDroppedFileAsksForANewFolderBesideIt()
    {
        // Its own folder cannot be listed by the dialog, which then starts in the nearest folder above.
        const std::string above = m_documents;
        m_documents += "/d\xff";
        std::filesystem::create_directory(m_documents);
        m_controller->dragViewDidReceive({document("Report.pages", {"v0", "v1"})});
        QCOMPARE(panels().size(), 1);
        SavePanel* panel = panels().first();
        QCOMPARE(panel->windowModality(), Qt::WindowModal);
        QCOMPARE(panel->labelText(QFileDialog::Accept), QStringLiteral("Save to folder"));
        QCOMPARE(panel->message(), QStringLiteral("Enter the name of a new folder to contain versions"));
        QVERIFY(panel->findChild<QToolButton*>("newFolderButton")->isEnabled());
        QCOMPARE(panel->directory().absolutePath(), QString::fromStdString(above));
        QTest::qWait(200); // the folder listing arrives later and must not disturb the name
        QCOMPARE(nameField(panel)->text(), QStringLiteral("Report versions"));
        QCOMPARE(nameField(panel)->selectedText(), QStringLiteral("Report versions"));

        const std::string elsewhere = makeScratchFolder("elsewhere");
        panel->setDirectory(QString::fromStdString(elsewhere));
        nameField(panel)->setText(QStringLiteral("Chosen"));
        confirm(panel);
        QVERIFY(sheetDetails().isEmpty());
        QCOMPARE(entriesOf(elsewhere + "/Chosen"),
                 (std::set<std::string>{"Report00000.pages", "Report00001.pages", "Report00002.pages"}));
    }

    void cancelledEmptyOrFailedAnswersWriteNothingAndFailuresShowSheets()
    {
        const FileUrl file = document("Report.pages", {"v0"});
        const FileUrl folder = archiveFolder("a versions", {"a00000.txt", "a00001.txt"});
        const FileUrl taken = archiveFolder("b versions", {"b00000.txt", "b00001.txt"});
        writeFile(m_documents + "/b-Copy.txt", "precious");
        m_controller->dragViewDidReceive({file, folder, archiveFolder("hidden", {".DS_Store"}),
                                          FileUrl::directoryFromPath(m_documents + "/missing"), file, folder, taken,
                                          document("notes.txt", {})});
        QCOMPARE(sheetDetails(), (QStringList{"The folder is empty.", "Couldn't get contents of folder."}));
        QCOMPARE(panels().size(), 6);
        panels()[0]->reject();
        panels()[0]->reject();
        for (int emptyName = 0; emptyName < 2; ++emptyName) {
            nameField(panels()[0])->clear();
            confirm(panels()[0]);
        }
        // The user agreed to replace the proposed file: it is still left alone.
        confirm(panels()[0]);
        confirm(panels()[0]);
        QCOMPARE(sheetDetails(), (QStringList{"The folder is empty.", "Couldn't get contents of folder.",
                                              "Couldn't create unarchived file.", "No versions available."}));
        QCOMPARE(readFile(m_documents + "/b-Copy.txt"), std::string("precious"));
        QCOMPARE(entriesOf(m_documents), (std::set<std::string>{"Report.pages", "a versions", "b versions", "hidden",
                                                                "b-Copy.txt", "notes.txt"}));
    }

    void itemsDroppedTogetherAskInDropOrderWithTheirOwnValues()
    {
        const FileUrl folder =
            archiveFolder("caf\xE9 versions", {"Report00001.pages", "Report00000.pages", "Report00002.pages"});
        m_controller->dragViewDidReceive({document("first.txt", {"a0"}), folder, document("r\xe9sum\xe9", {"b0"})});
        const QList<SavePanel*> open = panels();
        QCOMPARE(open.size(), 3);
        QCOMPARE(nameField(open[0])->text(), QStringLiteral("first versions"));
        QCOMPARE(open[0]->directory().absolutePath(), QString::fromStdString(m_documents));
        QCOMPARE(open[1]->labelText(QFileDialog::Accept), QStringLiteral("Unarchive to file"));
        QCOMPARE(open[1]->message(), QStringLiteral("Enter the name of a new file"));
        QCOMPARE(open[1]->directory().absolutePath(), QString::fromStdString(m_documents));
        QCOMPARE(nameField(open[1])->text(), QStringLiteral("Report-Copy.pages"));
        QVERIFY(nameField(open[2])->text().endsWith(QStringLiteral(" versions")));

        // Answered in another order, each writes what its own item gave.
        for (SavePanel* panel : {open[2], open[1], open[0]})
            confirm(panel);
        QVERIFY(sheetDetails().isEmpty());
        QCOMPARE(entriesOf(m_documents + "/first versions"),
                 (std::set<std::string>{"first00000.txt", "first00001.txt"}));
        QCOMPARE(entriesOf(m_documents + "/r\xe9sum\xe9 versions"), (std::set<std::string>{"r\xe9sum\xe9"
                                                                                           "00000",
                                                                                           "r\xe9sum\xe9"
                                                                                           "00001"}));
        QCOMPARE(readFile(m_documents + "/Report-Copy.pages"), std::string("Report00002.pages"));
        QCOMPARE(m_store->otherVersionsOfItem(FileUrl::fromPath(m_documents + "/Report-Copy.pages"))->size(), 2u);
    }

    void theWindowIsTitledAndClosingItQuits()
    {
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Strataloom \u2013 Version Archiver"));

        QApplication::setQuitOnLastWindowClosed(false);
        QTimer::singleShot(0, m_window.get(), [this] { m_window->close(); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(2); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!m_window->isVisible());
    }
};

STRATALOOM_QTEST_MAIN(ViewControllerTest)
#include "ViewControllerTest.moc"
