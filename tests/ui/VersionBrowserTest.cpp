// moc cannot parse the C++20 standard headers these pull in.
#ifndef Q_MOC_RUN
#include "VersionBrowser.h"
#include "AutomaticSaves.h"
#include "DocumentListModel.h"
#include "DocumentsWindow.h"
#include "StoreMaintenance.h"
#include "VersionCopy.h"
#include "VersionEdits.h"
#include "VersionListModel.h"
#include "support/ArchiveTestSupport.h"
#endif

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QtTest>

#include <sys/stat.h>
#include <sys/xattr.h>

using namespace strataloom;
using namespace strataloom::test;

// Receives the URLs the browser asks the desktop to open.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class VersionBrowserTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FileVersionStore> m_store;
    std::string m_documents;

    std::unique_ptr<VersionBrowser> browse(const FileUrl& document)
    {
        auto browser = std::make_unique<VersionBrowser>(document, m_store->location());
        browser->show();
        return browser;
    }

    static QTableView* table(VersionBrowser& browser) { return browser.findChild<QTableView*>("versionTable"); }
    static QString cell(VersionBrowser& browser, int row, int column)
    {
        return browser.model()->index(row, column).data().toString();
    }
    static void select(VersionBrowser& browser, int row)
    {
        // Not selectRow(), which reads the keyboard's modifiers as a shortcut test left them.
        QTableView* view = table(browser);
        const QModelIndex index = view->model()->index(row, 0);
        view->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        QCOMPARE(table(browser)->selectionModel()->selectedRows().size(), 1);
    }
    static QString page(VersionBrowser& browser)
    {
        return browser.findChild<QStackedWidget*>("previewStack")->currentWidget()->objectName();
    }
    // The window-modal message boxes open on `window`, sheets first.
    static QList<QMessageBox*> boxes(QWidget& window)
    {
        QList<QMessageBox*> open;
        for (QMessageBox* box : window.findChildren<QMessageBox*>())
            if (box->isVisible())
                open.append(box);
        return open;
    }
    static void answer(QMessageBox* box, const QString& button)
    {
        for (QAbstractButton* candidate : box->buttons())
            if (candidate->text() == button) {
                candidate->click();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                return;
            }
        QFAIL("no such button");
    }

    static QByteArray png(int width, int height)
    {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::red);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    }

private slots:
    void init()
    {
        // A store of each test's own, so that the list of every document holds only its documents.
        m_store = std::make_unique<FileVersionStore>(makeScratchFolder("store") + "/strataloom");
        m_documents = makeScratchFolder("documents");
    }

    void listsStoredVersionsThenTheDocumentWithWhatEachIs()
    {
        const FileUrl document = documentWithVersions(*m_store, m_documents, "Report.txt", {"v0\n", "v1\n"}, "auto\n");
        AutomaticSaves automatic(m_store->location());
        QCOMPARE(automatic.stage(document.path()), AutomaticSaves::Outcome::Staged);
        QVERIFY(automatic.commit());
        writeFile(document.path(), "now\n");
        QVERIFY(setVersionsPinned(m_store->location(), document.path(), {1}, true));
        corruptVersion(*m_store, document, 0);

        auto browser = browse(document);
        VersionListModel& model = *browser->model();
        QCOMPARE(model.rowCount(), 4);
        const QStringList kinds = {cell(*browser, 0, VersionListModel::Kind), cell(*browser, 1, VersionListModel::Kind),
                                   cell(*browser, 2, VersionListModel::Kind),
                                   cell(*browser, 3, VersionListModel::Kind)};
        QCOMPARE(kinds, (QStringList{"Explicit", "Explicit", "Automatic", "Current"}));
        QCOMPARE(cell(*browser, 1, VersionListModel::Pinned), QStringLiteral("Pinned"));
        QCOMPARE(cell(*browser, 2, VersionListModel::Pinned), QString());
        QCOMPARE(cell(*browser, 0, VersionListModel::Contents), QStringLiteral("Missing"));
        QCOMPARE(cell(*browser, 1, VersionListModel::Contents), QStringLiteral("Local"));
        QCOMPARE(cell(*browser, 3, VersionListModel::Number), QStringLiteral("3"));
        QCOMPARE(cell(*browser, 1, VersionListModel::Modified),
                 VersionListModel::displayDate(historicalDates(1).modification));
        QCOMPARE(cell(*browser, 1, VersionListModel::Created),
                 VersionListModel::displayDate(historicalDates(1).creation));
        // Its full form, with the year, beside it.
        const QDateTime modified = QDateTime::fromSecsSinceEpoch(historicalDates(1).modification.seconds);
        QVERIFY(model.index(1, VersionListModel::Modified)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .contains(QString::number(modified.toLocalTime().date().year())));
        QCOMPARE(model.index(1, VersionListModel::Size).data(VersionListModel::SortRole).toULongLong(), 3u);

        // The newest, the document itself, is selected and shown.
        const QModelIndexList selected = table(*browser)->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected.first().data().toString(), QStringLiteral("3"));
        QCOMPARE(page(*browser), QStringLiteral("textPage"));
        QCOMPARE(browser->findChild<QPlainTextEdit*>("textPreview")->toPlainText(), QStringLiteral("now\n"));

        // Sorted by modification date, newest first, by the dates and not their text.
        table(*browser)->sortByColumn(VersionListModel::Modified, Qt::DescendingOrder);
        QStringList order;
        for (int row = 0; row < 4; ++row)
            order.append(table(*browser)->model()->index(row, VersionListModel::Number).data().toString());
        QCOMPARE(order.first(), QStringLiteral("3"));
        QCOMPARE(order.last(), QStringLiteral("0"));
    }

    void previewsTextAsADiffImagesAsThemselvesAndOpensOtherContentsAsAReadOnlyCopy()
    {
        const FileUrl text =
            documentWithVersions(*m_store, m_documents, "notes.txt", {"one\ntwo\nthree\n"}, "one\n2\nthree\n");
        auto browser = browse(text);
        select(*browser, 0);
        QCOMPARE(page(*browser), QStringLiteral("textPage"));
        QCOMPARE(browser->findChild<QPlainTextEdit*>("textPreview")->toPlainText(),
                 QStringLiteral("  one\n- two\n+ 2\n  three"));

        const FileUrl picture = documentWithVersions(*m_store, m_documents, "picture.png", {png(4, 3).toStdString()},
                                                     png(8, 8).toStdString());
        browser = browse(picture);
        select(*browser, 0);
        QCOMPARE(page(*browser), QStringLiteral("imagePage"));
        QCOMPARE(browser->findChild<QLabel*>("imagePreview")->pixmap().size(), QSize(4, 3));
        QVERIFY(!browser->findChild<QCheckBox*>("actualSizeCheck")->isEnabled());

        // A larger image fits the pane, following its size, until shown at its actual size.
        const FileUrl large = documentWithVersions(*m_store, m_documents, "large.png", {png(1200, 800).toStdString()},
                                                   png(8, 8).toStdString());
        browser = browse(large);
        browser->resize(640, 600);
        select(*browser, 0);
        auto* pane = browser->findChild<QScrollArea*>("imageScroll")->viewport();
        const auto shownSize = [&] { return browser->findChild<QLabel*>("imagePreview")->pixmap().size(); };
        QTRY_VERIFY(shownSize().width() <= pane->width() && shownSize().height() <= pane->height());
        QVERIFY(qAbs(shownSize().width() * 2 - shownSize().height() * 3) <= 3); // its proportions, to a pixel
        auto* actual = browser->findChild<QCheckBox*>("actualSizeCheck");
        QVERIFY(actual->isEnabled());
        actual->setChecked(true);
        QCOMPARE(shownSize(), QSize(1200, 800));
        actual->setChecked(false);
        QVERIFY(shownSize().width() <= pane->width());

        const std::string binary("\x00\x01\x02 data", 8);
        const FileUrl data = documentWithVersions(*m_store, m_documents, "d\xff.bin", {binary}, "other");
        browser = browse(data);
        select(*browser, 0);
        QCOMPARE(page(*browser), QStringLiteral("openPage"));
        OpenedUrls opened;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "open");
        browser->findChild<QPushButton*>("openButton")->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(opened.urls.size(), 1);
        const QByteArray path =
            QByteArray::fromPercentEncoding(opened.urls.first().path(QUrl::FullyEncoded).toLatin1());
        QVERIFY2(path.endsWith(QByteArray::fromStdString(
                     std::string("/").append(restoredCopyName(data, historicalDates(0).modification)))),
                 path.constData());
        QCOMPARE(readFile(path.toStdString()), binary);
        struct stat status {};
        QCOMPARE(::stat(path.constData(), &status), 0);
        QCOMPARE(status.st_mode & 07777, static_cast<mode_t>(0400));
        // The copy goes with the window.
        browser.reset();
        QVERIFY(!std::filesystem::exists(path.toStdString()));
    }

    void anyTwoVersionsSelectedAreComparedOlderToNewer()
    {
        const FileUrl text =
            documentWithVersions(*m_store, m_documents, "notes.txt",
                                 {"a\nb\n", "a\nB\nc\n", std::string("\x00bin", 4), "a\nB\nc\n"}, "a\nB\n");
        auto browser = browse(text);
        auto* view = browser->findChild<QPlainTextEdit*>("textPreview");
        auto* legend = browser->findChild<QLabel*>("diffLegend");
        const auto selectPair = [&](int first, int second) {
            table(*browser)->clearSelection();
            // In either order: the older is always the one lines are removed from.
            table(*browser)->selectionModel()->select(browser->model()->index(second, 0),
                                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
            table(*browser)->selectionModel()->select(browser->model()->index(first, 0),
                                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
        };
        const struct {
            int first, second;
            const char* page;
            const char* shown; // the marked lines, or the message
            const char* legend;
        } cases[] = {
            {0, 1, "textPage", "  a\n- b\n+ B\n+ c",
             "Comparing version 0 with version 1: lines marked - are only in version 0, lines marked + only in version "
             "1."},
            {4, 0, "textPage", "  a\n- b\n+ B",
             "Comparing version 0 with the document as it is now: lines marked - are only in version 0, lines "
             "marked + only in the document as it is now."},
            {1, 3, "textPage", "  a\n  B\n  c", "Version 1 and version 3 have the same lines."},
            {2, 3, "messagePage", "These two cannot be compared: Version 2 is not text.", ""},
        };
        for (const auto& c : cases) {
            selectPair(c.first, c.second);
            QCOMPARE(page(*browser), QString::fromLatin1(c.page));
            if (page(*browser) == QStringLiteral("textPage")) {
                QCOMPARE(view->toPlainText(), QString::fromLatin1(c.shown));
                QCOMPARE(legend->text(), QString::fromLatin1(c.legend));
            } else {
                QCOMPARE(browser->findChild<QLabel*>("previewMessage")->text(), QString::fromLatin1(c.shown));
            }
        }
        // One version alone is previewed against the document again.
        select(*browser, 1);
        QCOMPARE(view->toPlainText(), QStringLiteral("  a\n  B\n- c"));
    }

    void restoresACopyBesideTheDocumentWithTheVersionsDatesUnderAFreeName()
    {
        const FileUrl document = documentWithVersions(*m_store, m_documents, "Report.txt", {"v0", "v1"}, "now");
        QVERIFY(m_store->saveVersionOfItem(document));
        auto browser = browse(document);
        select(*browser, 1);
        const std::string first = m_documents + "/" + restoredCopyName(document, historicalDates(1).modification);
        const std::string second = m_documents + "/" + restoredCopyName(document, historicalDates(1).modification, 2);
        const std::string third = m_documents + "/" + restoredCopyName(document, historicalDates(1).modification, 3);
        QVERIFY(first.ends_with(").txt") && first.find("/Report (version of ") != std::string::npos);
        QVERIFY(second.ends_with(") 2.txt"));
        writeFile(first, "precious");
        browser->restoreAsCopy();
        browser->restoreAsCopy();
        QCOMPARE(readFile(first), std::string("precious"));
        QCOMPARE(readFile(second), std::string("v1"));
        QCOMPARE(readFile(third), std::string("v1"));
        QCOMPARE(readDates(third), std::optional(historicalDates(1)));
        QVERIFY(boxes(*browser).isEmpty());

        // The copy is a document of its own, whatever the original carries.
        char id[64];
        QCOMPARE(getxattr(third.c_str(), "user.strataloom.id", id, sizeof id), ssize_t(-1));
        QVERIFY(m_store->saveVersionOfItem(FileUrl::fromPath(third)));
        QCOMPARE(m_store->otherVersionsOfItem(FileUrl::fromPath(third))->size(), 1u);
        QCOMPARE(m_store->otherVersionsOfItem(document)->size(), 3u);

        // Where nothing can be written, such as the folder of a document gone with it, the
        // failure is shown.
        const std::string folder = m_documents + "/gone";
        std::filesystem::create_directory(folder);
        const FileUrl gone = documentWithVersions(*m_store, folder, "Lost.txt", {"l0"}, "lost");
        std::filesystem::remove_all(folder);
        browser = browse(gone);
        select(*browser, 0);
        browser->restoreAsCopy();
        QCOMPARE(boxes(*browser).size(), 1);
        QCOMPARE(boxes(*browser).first()->informativeText(),
                 QStringLiteral("Couldn't restore the version as a copy: cannot open the folder %1: No such file or "
                                "directory")
                     .arg(QString::fromStdString(folder)));
    }

    void restoresInPlaceByKeyboardAfterAsking()
    {
        const FileUrl document = documentWithVersions(*m_store, m_documents, "Report.txt", {"v0", "v1"}, "now");
        auto browser = browse(document);
        browser->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(browser.get()));
        select(*browser, 0);
        QTest::keyClick(table(*browser), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(boxes(*browser).size(), 1);
        QMessageBox* box = boxes(*browser).first();
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        QVERIFY(box->text().endsWith(QStringLiteral(" in place of \u201cReport.txt\u201d?")));
        QVERIFY(box->informativeText().contains(QStringLiteral("Unsaved changes in an application that has the "
                                                               "document open may overwrite the restored contents")));
        answer(box, QStringLiteral("Cancel"));
        QCOMPARE(readFile(document.path()), std::string("now"));
        QCOMPARE(m_store->otherVersionsOfItem(document)->size(), 2u);

        select(*browser, 0);
        QTest::keyClick(table(*browser), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
        answer(boxes(*browser).first(), QStringLiteral("Restore"));
        QCOMPARE(readFile(document.path()), std::string("v0"));
        // v0, v1, the contents before, the restored contents, then the file.
        QCOMPARE(browser->model()->rowCount(), 5);
        QVERIFY(boxes(*browser).isEmpty());

        // The file itself cannot be restored over itself.
        select(*browser, 4);
        QVERIFY(!browser->findChild<QAction*>("restoreAction")->isEnabled());
    }

    void showsTheHistoryOfADocumentReplacedThereAndRestoresFromIt()
    {
        const FileUrl report = documentWithVersions(*m_store, m_documents, "Report.txt", {"r0", "r1"}, "r2");
        const FileUrl draft = documentWithVersions(*m_store, m_documents, "Draft.txt", {"d0"}, "d1");
        std::filesystem::rename(draft.path(), report.path());
        auto browser = browse(report);
        auto* chooser = browser->findChild<QComboBox*>("earlierHistoryChooser");
        QVERIFY(chooser->isVisible());
        QCOMPARE(chooser->count(), 2);
        QVERIFY(chooser->itemText(1).startsWith(QStringLiteral("Before ")));
        QVERIFY(chooser->itemText(1).endsWith(QStringLiteral(": 2 versions of Report.txt")));
        QCOMPARE(browser->model()->rowCount(), 2); // d0, then the file

        chooser->setCurrentIndex(1);
        QCOMPARE(browser->model()->rowCount(), 3); // r0, r1, then the file
        select(*browser, 1);
        QVERIFY(!browser->findChild<QAction*>("deleteVersionAction")->isEnabled());
        QVERIFY(!browser->findChild<QAction*>("keepForeverAction")->isEnabled());
        answer(browser->restoreInPlace(), QStringLiteral("Restore"));
        QCOMPARE(readFile(report.path()), std::string("r1"));
        // Restored into the document that stands there now: its own history grows.
        const auto own = m_store->otherVersionsOfItem(report);
        QCOMPARE(own->size(), 3u);
        QCOMPARE(contentsOf(own->at(1)), std::string("d1"));
        QCOMPARE(m_store->earlierHistoriesOfItem(report)->at(0).versions.size(), 2u);
        QCOMPARE(chooser->currentIndex(), 1);
    }

    void savesPinsAndDeletesOnlyTheVersionsTheUserChose()
    {
        const FileUrl document = documentWithVersions(*m_store, m_documents, "Report.txt", {"v0", "v1", "v2"}, "now");
        auto browser = browse(document);
        browser->saveVersionNow();
        QCOMPARE(browser->model()->rowCount(), 5);
        QCOMPARE(browser->model()->entry(3).version.size(), std::optional<std::uint64_t>(3));

        select(*browser, 1);
        browser->setPinned(true);
        QVERIFY(m_store->otherVersionsOfItem(document)->at(1).isPinned());
        QVERIFY(browser->model()->entry(1).version.isPinned() && !browser->model()->entry(0).version.isPinned());
        browser->setPinned(false);
        QVERIFY(!m_store->otherVersionsOfItem(document)->at(1).isPinned());

        // Cancelled, nothing goes; confirmed, the chosen version alone.
        const std::string removed = storedPath(*m_store, document, 1);
        select(*browser, 1);
        QMessageBox* box = browser->deleteVersions();
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        QCOMPARE(box->text(), QStringLiteral("Delete version 1 of \u201cReport.txt\u201d?"));
        answer(box, QStringLiteral("Cancel"));
        QCOMPARE(m_store->otherVersionsOfItem(document)->size(), 4u);
        select(*browser, 1);
        answer(browser->deleteVersions(), QStringLiteral("Delete"));
        const auto left = m_store->otherVersionsOfItem(document);
        QCOMPARE(left->size(), 3u);
        QCOMPARE(contentsOf(left->at(1)), std::string("v2"));
        QVERIFY(!std::filesystem::exists(removed));
        QCOMPARE(browser->model()->rowCount(), 4);

        // Another program removes a version meanwhile: the version chosen, now under
        // another number, is still the one removed.
        select(*browser, 1);
        box = browser->deleteVersions();
        QVERIFY(deleteVersions(m_store->location(), document.path(), {0}, false));
        answer(box, QStringLiteral("Delete"));
        QCOMPARE(boxes(*browser).size(), 0);
        QCOMPARE(m_store->otherVersionsOfItem(document)->size(), 1u);
        QCOMPARE(contentsOf(m_store->otherVersionsOfItem(document)->at(0)), std::string("now"));

        // The version chosen is itself removed meanwhile: nothing else is pinned, and the
        // window says why.
        select(*browser, 0);
        QVERIFY(deleteVersions(m_store->location(), document.path(), {0}, false));
        QVERIFY(browser->model()->entry(0).version.storedAt());
        browser->setPinned(true);
        QCOMPARE(boxes(*browser).size(), 1);
        QVERIFY(boxes(*browser).first()->informativeText().contains(QStringLiteral("no stored version")));
        QCOMPARE(m_store->otherVersionsOfItem(document)->size(), 0u);
    }

    void listsAgainWhenAnotherProgramChangesTheStore()
    {
        const FileUrl document = documentWithVersions(*m_store, m_documents, "Report.txt", {"v0"}, "now");
        auto browser = browse(document);
        QCOMPARE(browser->model()->rowCount(), 2);
        FileVersionStore other(m_store->location());
        QVERIFY(other.saveVersionOfItem(document));
        QTRY_COMPARE(browser->model()->rowCount(), 3);
    }

    void aFileWithoutVersionsSaysHowToGetThemUntilItHasOne()
    {
        const FileUrl document = documentWithVersions(*m_store, m_documents, "Fresh.txt", {}, "now");
        auto browser = browse(document);
        const auto label = [&] { return browser->findChild<QLabel*>("documentLabel")->text(); };
        QCOMPARE(browser->model()->rowCount(), 1);
        QVERIFY2(label().endsWith(QStringLiteral("\n") + VersionBrowser::noVersionsYet()), qPrintable(label()));
        browser->findChild<QAction*>("saveNowAction")->trigger();
        QTRY_COMPARE(browser->model()->rowCount(), 2);
        QVERIFY(!label().contains(QStringLiteral("No earlier versions")));
    }

    void allDocumentsCanBeNarrowedToThoseWhoseFileIsGoneAndShowTheirVersions()
    {
        documentWithVersions(*m_store, m_documents, "kept.txt", {"k0"}, "kept");
        const FileUrl gone = documentWithVersions(*m_store, m_documents, "gone.txt", {"g0", "g1"}, "gone");
        std::filesystem::remove(gone.path());

        DocumentsWindow window(m_store->location());
        QCOMPARE(window.shownDocuments()->rowCount(), 2);
        window.setOnlyGone(true);
        QCOMPARE(window.shownDocuments()->rowCount(), 1);
        QCOMPARE(window.shownDocuments()->index(0, DocumentListModel::Path).data().toString(),
                 QString::fromStdString(gone.path()));
        QCOMPARE(window.shownDocuments()->index(0, DocumentListModel::File).data().toString(), QStringLiteral("Gone"));
        // Beside the size of its versions, what its records take on disk.
        QCOMPARE(window.shownDocuments()->index(0, DocumentListModel::Size).data(DocumentListModel::SortRole),
                 QVariant(qulonglong{4}));
        QVERIFY(
            window.shownDocuments()->index(0, DocumentListModel::Stored).data(DocumentListModel::SortRole).toULongLong()
            > 0);
        window.findChild<QTableView*>("documentTable")->selectRow(0);
        QSignalSpy asked(&window, &DocumentsWindow::showVersionsRequested);
        window.findChild<QPushButton*>("showVersionsButton")->click();
        QCOMPARE(asked.size(), 1);
        const FileUrl shown = asked.first().first().value<FileUrl>();
        QCOMPARE(shown.path(), gone.path());
        // By keyboard: Return asks for the selected document's versions, Esc closes.
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto* table = window.findChild<QTableView*>("documentTable");
        table->setFocus();
        QTest::keyClick(table, Qt::Key_Return);
        QCOMPARE(asked.size(), 2);
        QCOMPARE(asked.last().first().value<FileUrl>().path(), gone.path());
        QTest::keyClick(table, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
        window.setOnlyGone(false);
        QCOMPARE(window.shownDocuments()->rowCount(), 2);

        // Listed by its last place, without a current version.
        auto browser = browse(shown);
        QCOMPARE(browser->model()->rowCount(), 2);
        QVERIFY(!browser->model()->entry(1).current);
        QVERIFY(browser->findChild<QLabel*>("documentLabel")->text().contains(QStringLiteral("The file is gone")));
        QVERIFY(!browser->findChild<QAction*>("saveNowAction")->isEnabled());
    }
};

STRATALOOM_QTEST_MAIN(VersionBrowserTest)
#include "VersionBrowserTest.moc"
