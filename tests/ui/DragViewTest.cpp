// Qt's headers come first: moc cannot parse <compare> when it meets it first.
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMainWindow>
#include <QMimeData>
#include <QTest>

#include "platform/FileVersionStore.h"
#include "support/TestEnvironment.h"
#include "ui/DragView.h"
#include "ui/SavePanel.h"
#include "ui/ViewController.h"

#include <memory>

using namespace strataloom;

namespace {

// Records every call, and the view's state at the moment of the call.
class RecordingDelegate : public QObject, public DragViewDelegate {
public:
    explicit RecordingDelegate(const DragView* view = nullptr) : m_view(view) {}
    void dragViewDidReceive(const std::vector<FileUrl>& fileURLs) override
    {
        calls.push_back(fileURLs);
        if (m_view)
            statesDuringCalls.push_back(m_view->displayState());
    }
    std::vector<std::vector<FileUrl>> calls;
    std::vector<DragView::DisplayState> statesDuringCalls;

private:
    const DragView* m_view;
};

std::unique_ptr<QMimeData> mimeWithUrls(const QList<QUrl>& urls)
{
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

QUrl localUrl(const std::string& path)
{
    return QUrl::fromLocalFile(QString::fromStdString(path));
}

// The colour painted at the view's left edge, where the centred hint never reaches.
QColor paintedColour(DragView& view)
{
    return view.grab().toImage().pixelColor(2, view.height() / 2);
}

const Qt::DropActions everyAction = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;

} // namespace

class DragViewTest : public QObject {
    Q_OBJECT
private:
    std::string m_folder;
    std::string m_file;

private slots:
    void init()
    {
        m_folder = test::makeScratchFolder("Report versions");
        m_file = test::makeScratchFolder("files") + "/Report.pages";
        test::writeFile(m_file, "current");
    }

    void showsItsStateInItsBackground()
    {
        DragView view;
        view.resize(300, 200);
        QVERIFY(view.acceptDrops());
        const QColor idle = paintedColour(view);
        QCOMPARE(idle, view.currentBackgroundColour());

        auto file = mimeWithUrls({localUrl(m_file)});
        QCOMPARE(view.draggingEntered(file.get()), Qt::CopyAction);
        const QColor accepting = paintedColour(view);
        QCOMPARE(accepting, view.currentBackgroundColour());
        view.draggingExited();
        QCOMPARE(paintedColour(view), idle);

        auto web = mimeWithUrls({QUrl(QStringLiteral("https://example.org/x"))});
        QCOMPARE(view.draggingEntered(web.get()), Qt::IgnoreAction);
        const QColor refusing = paintedColour(view);
        QVERIFY(refusing != idle && refusing != accepting && accepting != idle);
        view.draggingEnded();
        QCOMPARE(paintedColour(view), idle);
    }

    void aDropDeliversTheFileUrlsInOneCallInOrder()
    {
        DragView view;
        RecordingDelegate delegate;
        view.setDelegate(&delegate);
        const std::string second = m_folder + "/b.txt";
        test::writeFile(second, "b");
        // The folder comes as file managers send it, without a trailing "/".
        auto data = mimeWithUrls({localUrl(m_file), QUrl(QStringLiteral("https://example.org/x")),
                                  localUrl(m_folder), QUrl(QStringLiteral("mailto:someone@example.org")),
                                  localUrl(second)});

        QVERIFY(view.performDragOperation(data.get()));
        QCOMPARE(delegate.calls.size(), size_t(1));
        const std::vector<FileUrl> expected = {FileUrl::fromPath(m_file), FileUrl::directoryFromPath(m_folder),
                                               FileUrl::fromPath(second)};
        QVERIFY(delegate.calls[0] == expected);
        QVERIFY(delegate.calls[0][1].hasDirectoryPath());
    }

    void withoutADelegateADropIsTakenAndDoesNothing()
    {
        DragView view;
        auto data = mimeWithUrls({localUrl(m_file)});
        QVERIFY(view.performDragOperation(data.get()));

        // Held weakly: a delegate that has gone is no delegate.
        auto delegate = std::make_unique<RecordingDelegate>();
        view.setDelegate(delegate.get());
        delegate.reset();
        QCOMPARE(view.delegate(), nullptr);
        QVERIFY(view.performDragOperation(data.get()));
    }

    // The events Qt delivers: the colour stays during the drop and returns to
    // idle once the drop has been handled.
    void aRealDropKeepsItsColourUntilTheDelegateHasReturned()
    {
        DragView view;
        RecordingDelegate delegate(&view);
        view.setDelegate(&delegate);
        auto data = mimeWithUrls({localUrl(m_file)});

        QDragEnterEvent enter(QPoint(5, 5), everyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(enter.dropAction(), Qt::CopyAction);
        QDragMoveEvent move(QPoint(6, 6), everyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &move);
        QVERIFY(move.isAccepted());
        QCOMPARE(move.dropAction(), Qt::CopyAction);

        QDropEvent drop(QPoint(6, 6), everyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(drop.dropAction(), Qt::CopyAction);
        QCOMPARE(delegate.calls.size(), size_t(1));
        QCOMPARE(delegate.statesDuringCalls.at(0), DragView::DisplayState::Accepting);
        QCOMPARE(view.displayState(), DragView::DisplayState::Idle);
    }

    void refusedDragsAreShownAndReturnToIdleWhenTheyLeave_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<bool>("withFile");
        QTest::addColumn<Qt::DropActions>("offered");
        QTest::newRow("plain text") << QList<QUrl>() << false << everyAction;
        QTest::newRow("web address") << QList<QUrl>{QUrl(QStringLiteral("https://example.org/x"))} << false
                                     << everyAction;
        // Only a copy leaves the item where it is: a source that may only move
        // it could delete the file after the drop.
        QTest::newRow("file that may only be moved") << QList<QUrl>() << true << Qt::DropActions(Qt::MoveAction);
    }

    void refusedDragsAreShownAndReturnToIdleWhenTheyLeave()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(bool, withFile);
        QFETCH(Qt::DropActions, offered);
        if (withFile)
            urls << localUrl(m_file);
        DragView view;
        RecordingDelegate delegate;
        view.setDelegate(&delegate);
        auto data = mimeWithUrls(urls);
        data->setText(QStringLiteral("/etc/hostname"));

        QDragEnterEvent enter(QPoint(5, 5), offered, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &enter);
        QCOMPARE(enter.dropAction(), Qt::IgnoreAction);
        QCOMPARE(view.displayState(), DragView::DisplayState::Refusing);
        QDragMoveEvent move(QPoint(6, 6), offered, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &move);
        QVERIFY(!move.isAccepted());

        QDragLeaveEvent leave;
        QApplication::sendEvent(&view, &leave);
        QCOMPARE(view.displayState(), DragView::DisplayState::Idle);

        // Should a drop still arrive, it is refused and goes nowhere.
        QApplication::sendEvent(&view, &enter);
        QDropEvent drop(QPoint(5, 5), offered, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &drop);
        QVERIFY(!drop.isAccepted());
        QVERIFY(delegate.calls.empty());
        QCOMPARE(view.displayState(), DragView::DisplayState::Idle);
    }

    void aFileAndAFolderDroppedTogetherAskInDropOrder()
    {
        test::writeFile(m_folder + "/Report00000.pages", "old");
        test::writeFile(m_folder + "/Report00001.pages", "new");
        QMainWindow window;
        auto* view = new DragView(&window);
        window.setCentralWidget(view);
        FileVersionStore store;
        ViewController controller(&window, store);
        view->setDelegate(&controller);
        window.show();

        auto data = mimeWithUrls({localUrl(m_file), localUrl(m_folder)});
        QVERIFY(view->performDragOperation(data.get()));

        const QList<SavePanel*> panels = window.findChildren<SavePanel*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(panels.size(), qsizetype(2));
        QCOMPARE(panels[0]->labelText(QFileDialog::Accept), QStringLiteral("Save to folder"));
        QCOMPARE(panels[1]->labelText(QFileDialog::Accept), QStringLiteral("Unarchive to file"));
        for (SavePanel* panel : panels)
            panel->reject();
    }
};

STRATALOOM_QTEST_MAIN(DragViewTest)
#include "DragViewTest.moc"
