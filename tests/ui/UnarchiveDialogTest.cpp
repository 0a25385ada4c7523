#include "platform/FileVersionStore.h"
#include "support/TestEnvironment.h"
#include "ui/SavePanel.h"
#include "ui/ViewController.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QtTest>

#include <filesystem>
#include <memory>

using namespace strataloom;
using test::makeScratchFolder;
using test::readFile;
using test::writeFile;

class UnarchiveDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<FileVersionStore> m_store;
    ViewController* m_controller = nullptr;

    QList<SavePanel*> panels() const
    {
        QList<SavePanel*> open;
        for (SavePanel* panel : m_window->findChildren<SavePanel*>(Qt::FindDirectChildrenOnly))
            if (panel->isVisible())
                open.append(panel);
        return open;
    }

    QStringList sheetDetails() const
    {
        QStringList details;
        for (QMessageBox* box : m_window->findChildren<QMessageBox*>(Qt::FindDirectChildrenOnly)) {
            if (box->isVisible()) {
                checkSheet(box);
                details.append(box->informativeText());
            }
        }
        return details;
    }

    // The shared error sheet: fixed text, critical, on the window.
    static void checkSheet(QMessageBox* box)
    {
        QCOMPARE(box->text(), QStringLiteral("An error occurred in your last action:"));
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QCOMPARE(box->windowModality(), Qt::WindowModal);
    }

    static QLineEdit* nameField(SavePanel* panel)
    {
        return panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    }

    // A folder "Report versions" in its own parent, with archive entries whose
    // contents are their names.
    static std::string archiveFolder(const std::vector<std::string>& names)
    {
        const std::string folder = makeScratchFolder("parent") + "/Report versions";
        std::filesystem::create_directory(folder);
        for (const std::string& name : names)
            writeFile(folder + "/" + name, name);
        return folder;
    }

    void drop(const std::vector<std::string>& folders)
    {
        std::vector<FileUrl> urls;
        for (const std::string& folder : folders)
            urls.push_back(FileUrl::directoryFromPath(folder));
        m_controller->dragViewDidReceive(urls);
    }

    // Closes `panel` with the dialog's confirming answer, as after the user
    // agreed to replace an existing file.
    static void confirm(SavePanel* panel)
    {
        static_cast<QDialog*>(panel)->done(QDialog::Accepted);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    std::vector<std::string> versionContents(const std::string& item) const
    {
        std::vector<std::string> contents;
        if (const auto versions = m_store->otherVersionsOfItem(FileUrl::fromPath(item))) {
            for (const FileVersion& version : *versions)
                contents.push_back(readFile(version.URL().path()));
        }
        return contents;
    }

private slots:
    void init()
    {
        m_window = std::make_unique<QWidget>();
        m_store = std::make_unique<FileVersionStore>();
        m_controller = new ViewController(m_window.get(), *m_store, m_window.get());
        m_window->show();
    }

    void cleanup() { m_window.reset(); }

    void droppedFolderOpensTheDialogBesideIt()
    {
        const std::string folder = archiveFolder({"Report00001.pages", "Report00000.pages", "Report00002.pages"});
        drop({folder});
        QCOMPARE(panels().size(), 1);
        SavePanel* panel = panels().first();
        QCOMPARE(panel->labelText(QFileDialog::Accept), QStringLiteral("Unarchive to file"));
        QCOMPARE(panel->message(), QStringLiteral("Enter the name of a new file"));
        QCOMPARE(panel->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(panel->windowModality(), Qt::WindowModal);
        const std::string parent = std::filesystem::path(folder).parent_path().string();
        QCOMPARE(panel->directory().absolutePath(), QString::fromStdString(parent));
        QCOMPARE(nameField(panel)->text(), QStringLiteral("Report-Copy.pages"));
        QVERIFY(sheetDetails().isEmpty());

        static_cast<QDialog*>(panel)->accept();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const std::string created = parent + "/Report-Copy.pages";
        QCOMPARE(readFile(created), std::string("Report00002.pages"));
        QCOMPARE(versionContents(created), (std::vector<std::string>{"Report00000.pages", "Report00001.pages"}));
        QVERIFY(sheetDetails().isEmpty());
        QVERIFY(panels().isEmpty());
    }

    void namesThatAreNotUtf8ReachTheFileUnchanged()
    {
        const std::string parent = makeScratchFolder("parent");
        const std::string folder = parent + "/caf\xE9 versions";
        std::filesystem::create_directories(folder);
        for (const char* name : {"caf\xE9" "00000.txt", "caf\xE9" "00001.txt"})
            writeFile(folder + "/" + name, name);
        drop({folder});
        QCOMPARE(panels().size(), 1);
        static_cast<QDialog*>(panels().first())->accept();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(sheetDetails().isEmpty());
        const std::string created = parent + "/caf\xE9-Copy.txt";
        QCOMPARE(readFile(created), std::string("caf\xE9" "00001.txt"));
        QCOMPARE(versionContents(created), std::vector<std::string>{"caf\xE9" "00000.txt"});
    }

    void failuresAreSheetsOnTheWindow()
    {
        const std::string hiddenOnly = archiveFolder({".DS_Store"});
        drop({hiddenOnly, hiddenOnly + "-missing"});
        QVERIFY(panels().isEmpty());
        QCOMPARE(sheetDetails(), (QStringList{QStringLiteral("The folder is empty."),
                                               QStringLiteral("Couldn't get contents of folder.")}));
    }

    void confirmedReplacementStillLeavesTheFileAlone()
    {
        const std::string folder = archiveFolder({"a00000.txt", "a00001.txt"});
        const std::string existing = std::filesystem::path(folder).parent_path() / "a-Copy.txt";
        writeFile(existing, "precious");
        drop({folder});
        confirm(panels().first());
        QCOMPARE(sheetDetails(), QStringList{QStringLiteral("Couldn't create unarchived file.")});
        QCOMPARE(readFile(existing), std::string("precious"));
        QVERIFY(versionContents(existing).empty());
    }
};

STRATALOOM_QTEST_MAIN(UnarchiveDialogTest)
#include "UnarchiveDialogTest.moc"
