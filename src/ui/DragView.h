#pragma once

#include "DragViewDelegate.h"

#include <QColor>
#include <QPointer>
#include <QWidget>

class QMimeData;

namespace strataloom {

// The main window's content: takes drags of local file and folder URLs, shows by
// its colour whether a drag is usable, and hands each drop to its delegate.
class DragView : public QWidget {
    Q_OBJECT
public:
    enum class DisplayState { Idle, Accepting, Refusing };

    explicit DragView(QWidget* parent = nullptr);

    // Held weakly: once `delegate` is destroyed the view has none. It must
    // implement DragViewDelegate; anything else leaves the view without one.
    void setDelegate(QObject* delegate);
    DragViewDelegate* delegate() const;

    DisplayState displayState() const { return m_state; }
    // The background shown in `state`, for a light or a dark palette.
    static QColor backgroundColour(DisplayState state, bool darkPalette);
    QColor currentBackgroundColour() const;

    // A drag came in: Qt::CopyAction when it carries at least one local file
    // URL, else Qt::IgnoreAction.
    Qt::DropAction draggingEntered(const QMimeData* data);
    void draggingExited();
    void draggingEnded();
    // The drop: true when at least one URL was read and handed on.
    bool performDragOperation(const QMimeData* data);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void setDisplayState(DisplayState state);
    bool hasDarkPalette() const;

    DisplayState m_state = DisplayState::Idle;
    QPointer<QObject> m_delegateObject;
    DragViewDelegate* m_delegate = nullptr;
};

} // namespace strataloom
