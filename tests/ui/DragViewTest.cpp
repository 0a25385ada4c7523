// Qt's headers come first: moc cannot parse <compare> when it meets it first.
#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>

#include "DragView.h"
#include "support/TestEnvironment.h"

#include <memory>
#include <utility>

using namespace strataloom;

namespace {

// Records every call, and the view's state at the moment of the call.
struct RecordingDelegate : QObject, DragViewDelegate {
    explicit RecordingDelegate(const DragView& view)
        : view(view)
    {
    }
    void dragViewDidReceive(const std::vector<FileUrl>& fileURLs) override
    {
        calls.emplace_back(fileURLs, view.displayState());
    }
    const DragView& view;
    std::vector<std::pair<std::vector<FileUrl>, DragView::DisplayState>> calls;
};

// The colour painted at the view's left edge, where the centred hint never reaches.
QColor painted(DragView& view)
{
    return view.grab().toImage().pixelColor(2, view.height() / 2);
}

const QUrl kFile = QUrl::fromLocalFile(QStringLiteral("/srv/Report.pages"));
const Qt::DropActions kEveryAction = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;

} // namespace

class DragViewTest : public QObject {
    Q_OBJECT
private slots:
    void showsWhetherADragIsUsableByItsColourAndNeedsNoDelegate()
    {
        DragView view;
        const QColor idle = painted(view);
        QMimeData file;
        file.setUrls({kFile});
        QCOMPARE(view.draggingEntered(&file), Qt::CopyAction);
        const QColor accepting = painted(view);
        view.draggingExited();
        QCOMPARE(painted(view), idle);

        QMimeData web;
        web.setUrls({QUrl(QStringLiteral("https://example.org/x"))});
        QCOMPARE(view.draggingEntered(&web), Qt::IgnoreAction);
        const QColor refusing = painted(view);
        QVERIFY(refusing != idle && refusing != accepting && accepting != idle);
        view.draggingEnded();
        QCOMPARE(painted(view), idle);

        // Without a delegate a drop is still taken. One is held weakly: once gone, it is none.
        QVERIFY(view.performDragOperation(&file));
        auto delegate = std::make_unique<RecordingDelegate>(view);
        view.setDelegate(delegate.get());
        delegate.reset();
        QVERIFY(view.performDragOperation(&file));
    }

    // Through the events Qt delivers: the drop is shown until the delegate has
    // returned, and the delegate gets every local file URL in one call.
    void aDropHandsOnItsLocalFileUrlsInOrderInOneCall()
    {
        const std::string folder = test::makeScratchFolder("Report versions");
        DragView view;
        RecordingDelegate delegate(view);
        view.setDelegate(&delegate);
        // A folder comes without its trailing "/", as file managers send it.
        QMimeData data;
        data.setUrls({kFile, QUrl(QStringLiteral("https://example.org/x")),
                      QUrl::fromLocalFile(QString::fromStdString(folder)),
                      QUrl(QStringLiteral("mailto:someone@example.org")),
                      QUrl::fromEncoded("file:///srv/caf%E9%20100%25%20%231%3F.txt"),
                      QUrl::fromEncoded("file://otherhost/srv/remote.txt")});

        // Only a copy leaves the item in place: a source that may only move it could delete it after the drop.
        QDragEnterEvent moveOnly(QPoint(5, 5), Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &moveOnly);
        QCOMPARE(moveOnly.dropAction(), Qt::IgnoreAction);
        QDragEnterEvent enter(QPoint(5, 5), kEveryAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &enter);
        QCOMPARE(enter.dropAction(), Qt::CopyAction);
        QDragMoveEvent move(QPoint(6, 6), kEveryAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &move);
        QVERIFY(move.isAccepted());
        QDropEvent drop(QPoint(6, 6), kEveryAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(drop.dropAction(), Qt::CopyAction);

        const std::vector<FileUrl> expected = {FileUrl::fromPath("/srv/Report.pages"),
                                               FileUrl::directoryFromPath(folder),
                                               FileUrl::fromPath("/srv/caf\xe9 100% #1?.txt")};
        QVERIFY((delegate.calls == decltype(delegate.calls){{expected, DragView::DisplayState::Accepting}}));
        QCOMPARE(view.displayState(), DragView::DisplayState::Idle);
    }
};

STRATALOOM_QTEST_MAIN(DragViewTest)
#include "DragViewTest.moc"
