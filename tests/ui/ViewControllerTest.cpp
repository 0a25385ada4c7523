// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "archive/ArchiveTestSupport.h"
#include "ui/SavePanel.h"
#include "ui/ViewController.h"
#endif

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#ifndef Q_MOC_RUN
#include <filesystem>
#include <memory>
#endif

using namespace strataloom;
using test::entriesOf;
using test::readFile;
namespace fs = std::filesystem;

namespace {

QString text(const std::string& bytes)
{
    return QString::fromStdString(bytes);
}

} // namespace

class ViewControllerTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<FileVersionStore> m_store;
    ViewController* m_controller = nullptr;
    std::string m_documents;

    // The open dialogs, in the order they were begun.
    QList<SavePanel*> panels() const
    {
        QList<SavePanel*> open;
        for (SavePanel* panel : m_window->findChildren<SavePanel*>(Qt::FindDirectChildrenOnly))
            if (panel->isVisible())
                open.append(panel);
        return open;
    }

    QList<QMessageBox*> sheets() const
    {
        QList<QMessageBox*> shown;
        for (QMessageBox* box : m_window->findChildren<QMessageBox*>(Qt::FindDirectChildrenOnly))
            if (box->isVisible())
                shown.append(box);
        return shown;
    }

    static QLineEdit* nameField(SavePanel* panel) { return panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")); }

    // QFileDialog hides these behind QDialog's public ones.
    static void confirm(SavePanel* panel) { static_cast<QDialog*>(panel)->accept(); }
    static void close(SavePanel* panel, int result) { static_cast<QDialog*>(panel)->done(result); }

    // Answers `panel` as a user would: picks the folder, types the name, confirms.
    static void answer(SavePanel* panel, const std::string& folder, const QString& name)
    {
        panel->setDirectory(text(folder));
        nameField(panel)->setText(name);
        confirm(panel);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    FileUrl document(const std::string& name, const std::vector<std::string>& versions)
    {
        return test::documentWithVersions(*m_store, m_documents, name, versions, "now");
    }

private slots:
    void init()
    {
        m_window = std::make_unique<QWidget>();
        m_store = std::make_unique<FileVersionStore>();
        m_controller = new ViewController(m_window.get(), *m_store, m_window.get());
        m_documents = test::makeScratchFolder("documents");
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup()
    {
        for (SavePanel* panel : panels())
            panel->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_window.reset();
        m_store.reset();
    }

    void setsTheTitleEachTimeTheWindowAppears()
    {
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Strataloom \u2013 Version Archiver"));
        m_window->hide();
        m_window->setWindowTitle(QStringLiteral("other"));
        m_window->show();
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Strataloom \u2013 Version Archiver"));
    }

    void aDroppedFileAsksForTheNewFolderAndReturnsAtOnce()
    {
        const FileUrl file = document("Report.pages", {"v0"});
        m_controller->dragViewDidReceive({file});

        QCOMPARE(panels().size(), 1);
        SavePanel* panel = panels().first();
        QCOMPARE(panel->windowModality(), Qt::WindowModal);
        QCOMPARE(panel->labelText(QFileDialog::Accept), QStringLiteral("Save to folder"));
        auto* buttons = panel->findChild<QDialogButtonBox*>();
        QVERIFY(buttons);
        QCOMPARE(buttons->buttons().first()->text(), QStringLiteral("Save to folder"));
        QCOMPARE(panel->message(), QStringLiteral("Enter the name of a new folder to contain versions"));

        // The message stands above the location and the name.
        auto* message = panel->findChild<QLabel*>(QStringLiteral("messageLabel"));
        auto* lookIn = panel->findChild<QWidget*>(QStringLiteral("lookInCombo"));
        QVERIFY(message && message->isVisible() && lookIn);
        QVERIFY(message->mapTo(panel, QPoint(0, message->height())).y() <= lookIn->mapTo(panel, QPoint()).y());
        QVERIFY(lookIn->mapTo(panel, QPoint()).y() < nameField(panel)->mapTo(panel, QPoint()).y());

        auto* newFolder = panel->findChild<QToolButton*>(QStringLiteral("newFolderButton"));
        QVERIFY(newFolder && newFolder->isVisible() && newFolder->isEnabled());
        QCOMPARE(panel->directory().absolutePath(), text(m_documents));
        QTest::qWait(200);  // the folder listing arrives later and must not disturb the name
        QCOMPARE(nameField(panel)->text(), QStringLiteral("Report versions"));
        QCOMPARE(nameField(panel)->selectedText(), QStringLiteral("Report versions"));
        QVERIFY(!fs::exists(m_documents + "/Report versions"));
    }

    void theConfirmedNameIsTheNewFolder()
    {
        const FileUrl file = document("Report.pages", {"v0", "v1"});
        m_controller->dragViewDidReceive({file});
        const std::string elsewhere = test::makeScratchFolder("elsewhere");
        answer(panels().first(), elsewhere, QStringLiteral("Chosen"));

        QVERIFY(panels().isEmpty());
        QVERIFY(sheets().isEmpty());
        QCOMPARE(entriesOf(elsewhere + "/Chosen"),
                 (std::set<std::string>{"Report00000.pages", "Report00001.pages", "Report00002.pages"}));
        QCOMPARE(readFile(elsewhere + "/Chosen/Report00002.pages"), std::string("now"));
    }

    void aNameThatIsNotUtf8SurvivesTheDialog()
    {
        const FileUrl file = document("r\xe9sum\xe9.txt", {"v0"});
        m_controller->dragViewDidReceive({file});
        SavePanel* panel = panels().first();
        QVERIFY(nameField(panel)->text().endsWith(QStringLiteral(" versions")));
        confirm(panel);

        QVERIFY(fs::is_directory(m_documents + "/r\xe9sum\xe9 versions"));
        QCOMPARE(entriesOf(m_documents + "/r\xe9sum\xe9 versions"),
                 (std::set<std::string>{"r\xe9sum\xe9" "00000.txt", "r\xe9sum\xe9" "00001.txt"}));
    }

    void aFolderTheDialogCannotListGivesWayToTheNearestFolderAbove()
    {
        // Not the working folder: that is where the dialog would go on its own.
        const std::string above = m_documents;
        m_documents = above + "/d\xff";
        fs::create_directory(m_documents);
        const FileUrl file = document("notes.txt", {"v0"});
        m_controller->dragViewDidReceive({file});
        QCOMPARE(panels().first()->directory().absolutePath(), text(above));
        confirm(panels().first());

        QVERIFY(fs::is_directory(above + "/notes versions"));
        QCOMPARE(entriesOf(above + "/notes versions").size(), std::size_t(2));
    }

    void cancellingOrNoNameWritesNothing()
    {
        const FileUrl file = document("Report.pages", {"v0"});
        m_controller->dragViewDidReceive({file, file});
        QCOMPARE(panels().size(), 2);
        panels().first()->reject();
        nameField(panels().first())->clear();
        close(panels().first(), QDialog::Accepted);

        QVERIFY(panels().isEmpty());
        QVERIFY(sheets().isEmpty());
        QCOMPARE(entriesOf(m_documents), std::set<std::string>{"Report.pages"});
    }

    void failuresAreShownAsSheetsOnTheWindow()
    {
        const FileUrl file = document("notes.txt", {});
        m_controller->dragViewDidReceive({file});
        confirm(panels().first());

        QCOMPARE(sheets().size(), 1);
        QMessageBox* sheet = sheets().first();
        QCOMPARE(sheet->parentWidget(), m_window.get());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->text(), QStringLiteral("An error occurred in your last action:"));
        QCOMPARE(sheet->informativeText(), QStringLiteral("No versions available."));
        QCOMPARE(sheet->icon(), QMessageBox::Critical);
        QCOMPARE(sheet->buttons().size(), 1);
        QCOMPARE(sheet->buttons().first()->text(), QStringLiteral("OK"));
        QVERIFY(!fs::exists(m_documents + "/notes versions"));

        sheet->buttons().first()->click();
        QVERIFY(sheets().isEmpty());
    }

    void severalFilesGetOneDialogEachInDropOrderWithTheirOwnValues()
    {
        const FileUrl first = document("first.txt", {"a0"});
        const FileUrl second = document("second", {"b0", "b1"});
        const std::string folder = test::makeScratchFolder("dropped-folder");
        test::writeFile(folder + "/entry", "x");
        m_controller->dragViewDidReceive({first, second, FileUrl::directoryFromPath(folder)});

        const QList<SavePanel*> open = panels();
        QCOMPARE(open.size(), 3);
        QCOMPARE(nameField(open[0])->text(), QStringLiteral("first versions"));
        QCOMPARE(nameField(open[1])->text(), QStringLiteral("second versions"));
        QCOMPARE(open[2]->labelText(QFileDialog::Accept), QStringLiteral("Unarchive to file"));

        const std::string target = test::makeScratchFolder("targets");
        answer(open[1], target, QStringLiteral("B"));
        answer(open[0], target, QStringLiteral("A"));
        QCOMPARE(entriesOf(target + "/A"), (std::set<std::string>{"first00000.txt", "first00001.txt"}));
        QCOMPARE(entriesOf(target + "/B"), (std::set<std::string>{"second00000", "second00001", "second00002"}));
        QCOMPARE(readFile(target + "/B/second00001"), std::string("b1"));
        QVERIFY(sheets().isEmpty());
    }

    void closingTheWindowQuitsTheApplication()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QTimer::singleShot(0, m_window.get(), [this] { m_window->close(); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(2); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!m_window->isVisible());
    }
};

STRATALOOM_QTEST_MAIN(ViewControllerTest)
#include "ViewControllerTest.moc"
