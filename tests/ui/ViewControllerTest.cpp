// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "ViewController.h"
#include "SavePanel.h"
#include "SidebarPlaces.h"
#include "support/ArchiveTestSupport.h"
#endif

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
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
    static QPushButton* acceptButton(SavePanel* panel)
    {
        return panel->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Save);
    }

    // Answers every open sheet with its button.
    void dismissSheets() const
    {
        for (QMessageBox* sheet : shown<QMessageBox>())
            sheet->buttons().first()->click();
        settle();
    }

    // Answers the one question open with the button titled `title`.
    void answerQuestion(const QString& title) const
    {
        const QList<QMessageBox*> questions = shown<QMessageBox>();
        QCOMPARE(questions.size(), 1);
        QAbstractButton* button = nullptr;
        for (QAbstractButton* each : questions.first()->buttons())
            if (each->text() == title)
                button = each;
        QVERIFY(button);
        button->click();
        settle();
    }

    // Delivers what closing a dialog left to do: its answer's follow-up, the next dropped item, its deletion.
    static void settle()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Closes `panel` as the user's confirmation does.
    static void confirm(SavePanel* panel)
    {
        static_cast<QDialog*>(panel)->done(QDialog::Accepted);
        settle();
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
        // The user's own folders are at hand in the sidebar.
        const QString documentsFolder = QDir::homePath() + QStringLiteral("/Documents");
        QVERIFY(QDir().mkpath(documentsFolder));
        m_controller->dragViewDidReceive({document("Report.pages", {"v0", "v1"})});
        QCOMPARE(panels().size(), 1);
        SavePanel* panel = panels().first();
        QVERIFY(panel->sidebarUrls().contains(QUrl::fromLocalFile(documentsFolder)));
        QCOMPARE(panel->sidebarUrls(), sidebarPlaces());
        QCOMPARE(panel->windowModality(), Qt::WindowModal);
        QCOMPARE(panel->message(), QStringLiteral("Enter the name of a new folder to contain versions"));
        // Asked for a folder's name, it offers no file types.
        QVERIFY(!panel->findChild<QWidget*>("fileTypeCombo")->isVisible());
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
        // Panels and sheets come one at a time, in drop order; a sheet holds back the next item too.
        // The user agrees to replace the file proposed for "b versions": it is still left alone.
        enum Answer { Cancel, EmptyName, Confirm, Dismiss };
        QStringList details;
        for (Answer answer :
             {Cancel, Cancel, Dismiss, Dismiss, EmptyName, EmptyName, Confirm, Dismiss, Confirm, Dismiss}) {
            QCOMPARE(panels().size() + shown<QMessageBox>().size(), 1);
            if (answer == Dismiss) {
                QVERIFY(panels().isEmpty());
                details += sheetDetails();
                dismissSheets();
                continue;
            }
            QVERIFY(!panels().isEmpty());
            SavePanel* panel = panels().first();
            if (answer == Cancel) {
                panel->reject();
                settle();
                continue;
            }
            if (answer == EmptyName)
                nameField(panel)->clear();
            confirm(panel);
        }
        QVERIFY(panels().isEmpty() && shown<QMessageBox>().isEmpty());
        QCOMPARE(details, (QStringList{"The folder is empty.", "Couldn't get contents of folder.",
                                       "Couldn't create unarchived file.", "No versions available."}));
        QCOMPARE(readFile(m_documents + "/b-Copy.txt"), std::string("precious"));
        QCOMPARE(entriesOf(m_documents), (std::set<std::string>{"Report.pages", "a versions", "b versions", "hidden",
                                                                "b-Copy.txt", "notes.txt"}));
    }

    void itemsDroppedTogetherAskOneAtATimeInDropOrderWithTheirOwnValues()
    {
        const FileUrl folder =
            archiveFolder("caf\xE9 versions", {"Report00001.pages", "Report00000.pages", "Report00002.pages"});
        m_controller->dragViewDidReceive({document("first.txt", {"a0"}), folder});
        // A later drop waits behind the panels of the earlier one.
        m_controller->dragViewDidReceive({document("r\xe9sum\xe9", {"b0"})});
        QStringList asked;
        for (int answered = 0; answered < 3; ++answered) {
            QCOMPARE(panels().size(), 1);
            SavePanel* panel = panels().first();
            QTRY_COMPARE(QApplication::focusWidget(), nameField(panel));
            asked.append(panel->labelText(QFileDialog::Accept) + QStringLiteral(": ") + nameField(panel)->text());
            if (answered == 1) {
                QCOMPARE(panel->message(), QStringLiteral("Enter the name of a new file"));
                QVERIFY(panel->findChild<QWidget*>("fileTypeCombo")->isVisible());
                QCOMPARE(panel->directory().absolutePath(), QString::fromStdString(m_documents));
            }
            QTest::keyClick(nameField(panel), Qt::Key_Return);
            settle();
        }
        QVERIFY(panels().isEmpty());
        QCOMPARE(asked, (QStringList{"Save to folder: first versions", "Unarchive to file: Report-Copy.pages",
                                     QStringLiteral("Save to folder: r\uFFFDsum\uFFFD versions")}));
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

    void confirmingTheNameOfAnExistingFolderChoosesItInsteadOfEnteringIt()
    {
        for (const std::string& base : {std::string("Notes"), std::string("r\xe9sum\xe9")}) {
            const FileUrl file = document(base + ".txt", {"v0"});
            const std::set<std::string> earlier = {base + "00000.txt", base + "00001.txt"};
            archiveFolder(base + " versions", {earlier.begin(), earlier.end()});
            m_controller->dragViewDidReceive({file});
            QCOMPARE(acceptButton(panels().first())->text(), QStringLiteral("Save to folder"));
            QTest::keyClick(nameField(panels().first()), Qt::Key_Return);
            settle();
            QVERIFY(panels().isEmpty());
            answerQuestion(QStringLiteral("Add Beside Them"));
            QCOMPARE(sheetDetails(), QStringList{"Couldn't create or write folder."});
            QCOMPARE(entriesOf(m_documents + "/" + base + " versions"), earlier);
            dismissSheets();
        }

        // An existing empty folder, named and confirmed with the button, receives the versions without a question.
        std::filesystem::create_directory(m_documents + "/Empty");
        m_controller->dragViewDidReceive({FileUrl::fromPath(m_documents + "/Notes.txt")});
        SavePanel* panel = panels().first();
        QTest::keyClicks(nameField(panel), QStringLiteral("Empty"));
        QCOMPARE(acceptButton(panel)->text(), QStringLiteral("Save to folder"));
        acceptButton(panel)->click();
        settle();
        QVERIFY(panels().isEmpty() && sheetDetails().isEmpty());
        QCOMPARE(entriesOf(m_documents + "/Empty"), (std::set<std::string>{"Notes00000.txt", "Notes00001.txt"}));
    }

    void aFolderThatHoldsFilesIsUsedOnlyOnceTheUserAgrees()
    {
        const FileUrl odt = document("Report.odt", {"o0", "o1", "o2"});
        const FileUrl docx = document("Report.docx", {"d0"});
        const std::string folder = m_documents + "/Report versions";
        const std::set<std::string> odtEntries = {"Report00000.odt", "Report00001.odt", "Report00002.odt",
                                                  "Report00003.odt"};
        // Archiving the first document meets an empty place and asks nothing.
        m_controller->dragViewDidReceive({odt});
        confirm(panels().first());
        QVERIFY(shown<QMessageBox>().isEmpty());
        QCOMPARE(entriesOf(folder), odtEntries);

        // The second, of the same name, is proposed the same folder; each answer to the question, in turn.
        for (const QString& answer : {QStringLiteral("Cancel"), QStringLiteral("Choose Another Folder\u2026"),
                                      QStringLiteral("Add Beside Them")}) {
            m_controller->dragViewDidReceive({docx});
            QCOMPARE(nameField(panels().first())->text(), QStringLiteral("Report versions"));
            confirm(panels().first());
            QVERIFY(panels().isEmpty());
            const QList<QMessageBox*> questions = shown<QMessageBox>();
            QCOMPARE(questions.size(), 1);
            QCOMPARE(questions.first()->icon(), QMessageBox::Question);
            QCOMPARE(questions.first()->windowModality(), Qt::WindowModal);
            QCOMPARE(questions.first()->text(),
                     QStringLiteral("\u201cReport versions\u201d already holds 4 files. Versions of Report.docx would "
                                    "be added beside them."));
            answerQuestion(answer);
            if (answer.startsWith(QStringLiteral("Choose"))) {
                // The panel again, with the name it proposed; a new name there is taken at once.
                QCOMPARE(panels().size(), 1);
                QCOMPARE(nameField(panels().first())->text(), QStringLiteral("Report versions"));
                const std::string elsewhere = makeScratchFolder("elsewhere");
                panels().first()->setDirectory(QString::fromStdString(elsewhere));
                nameField(panels().first())->setText(QStringLiteral("Report docx versions"));
                confirm(panels().first());
                QVERIFY(shown<QMessageBox>().isEmpty());
                QCOMPARE(entriesOf(elsewhere + "/Report docx versions"),
                         (std::set<std::string>{"Report00000.docx", "Report00001.docx"}));
            }
            QVERIFY(panels().isEmpty() && sheetDetails().isEmpty());
            if (answer.startsWith(QStringLiteral("Add"))) {
                std::set<std::string> both = odtEntries;
                both.insert({"Report00000.docx", "Report00001.docx"});
                QCOMPARE(entriesOf(folder), both);
            } else {
                QCOMPARE(entriesOf(folder), odtEntries);
            }
        }
        // One file, and a name that is not UTF-8, said so.
        QCOMPARE(ViewController::existingFolderQuestion("d\xff", 1, "a\nb"),
                 QStringLiteral("\u201cd\\xff\u201d already holds 1 file. Versions of a\\nb would be added beside "
                                "them."));
    }
};

STRATALOOM_QTEST_MAIN(ViewControllerTest)
#include "ViewControllerTest.moc"
