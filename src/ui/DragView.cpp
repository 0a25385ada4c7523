#include "DragView.h"

#include "UrlConversion.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>

#include <cmath>

namespace strataloom {

namespace {

const QString& hint(DragView::DisplayState state)
{
    static const QString usable = QStringLiteral("Drop a file to archive its versions, or a folder to unarchive it");
    static const QString refused = QStringLiteral("Only files and folders can be dropped here");
    return state == DragView::DisplayState::Refusing ? refused : usable;
}

double relativeLuminance(const QColor& colour)
{
    auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

// White or near-black, whichever stands out more against `background`.
QColor textColourOn(const QColor& background)
{
    static const QColor light(Qt::white);
    static const QColor dark(0x1d, 0x1d, 0x1f);
    const double luminance = relativeLuminance(background);
    const double againstLight = 1.05 / (luminance + 0.05);
    const double againstDark = (luminance + 0.05) / (relativeLuminance(dark) + 0.05);
    return againstLight >= againstDark ? light : dark;
}

// Only a copy leaves the dragged item where it is; a source that offers no
// copy could delete its file after a "move" onto this view.
bool offersCopy(const QDropEvent* event)
{
    return event->possibleActions().testFlag(Qt::CopyAction);
}

} // namespace

DragView::DragView(QWidget* parent)
    : QWidget(parent)
{
    setAcceptDrops(true);
    setMinimumSize(240, 160);
}

void DragView::setDelegate(QObject* delegate)
{
    m_delegateObject = delegate;
    m_delegate = dynamic_cast<DragViewDelegate*>(delegate);
}

DragViewDelegate* DragView::delegate() const
{
    return m_delegateObject ? m_delegate : nullptr;
}

QColor DragView::backgroundColour(DisplayState state, bool darkPalette)
{
    switch (state) {
    case DisplayState::Accepting:
        return darkPalette ? QColor(0x30, 0xd1, 0x58) : QColor(0x34, 0xc7, 0x59);
    case DisplayState::Refusing:
        return darkPalette ? QColor(0x63, 0x63, 0x66) : QColor(0xae, 0xae, 0xb2);
    case DisplayState::Idle:
        break;
    }
    return darkPalette ? QColor(0x5e, 0x5c, 0xe6) : QColor(0x58, 0x56, 0xd6);
}

QColor DragView::currentBackgroundColour() const
{
    return backgroundColour(m_state, hasDarkPalette());
}

bool DragView::hasDarkPalette() const
{
    return palette().color(QPalette::Window).lightness() < 128;
}

void DragView::setDisplayState(DisplayState state)
{
    if (m_state == state)
        return;
    m_state = state;
    update();
}

Qt::DropAction DragView::draggingEntered(const QMimeData* data)
{
    const bool usable = data && data->hasUrls() && !fileUrlsFromQUrls(data->urls()).empty();
    setDisplayState(usable ? DisplayState::Accepting : DisplayState::Refusing);
    return usable ? Qt::CopyAction : Qt::IgnoreAction;
}

void DragView::draggingExited()
{
    setDisplayState(DisplayState::Idle);
}

void DragView::draggingEnded()
{
    setDisplayState(DisplayState::Idle);
}

bool DragView::performDragOperation(const QMimeData* data)
{
    if (!data || !data->hasUrls())
        return false;
    const std::vector<FileUrl> fileURLs = fileUrlsFromQUrls(data->urls());
    if (fileURLs.empty())
        return false;
    if (DragViewDelegate* target = delegate())
        target->dragViewDidReceive(fileURLs);
    return true;
}

void DragView::dragEnterEvent(QDragEnterEvent* event)
{
    Qt::DropAction answer = draggingEntered(event->mimeData());
    if (answer == Qt::CopyAction && !offersCopy(event)) {
        answer = Qt::IgnoreAction;
        setDisplayState(DisplayState::Refusing);
    }
    // Taken as an event even when refused: Qt sends the leave that restores
    // the idle colour only to a widget that took the entry. The refusal is the
    // ignore action here and the ignored moves that follow.
    event->setDropAction(answer);
    event->accept();
}

void DragView::dragMoveEvent(QDragMoveEvent* event)
{
    // The answer given on entry stands while the drag stays over the view.
    if (m_state == DisplayState::Accepting) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DragView::dragLeaveEvent(QDragLeaveEvent* event)
{
    draggingExited();
    event->accept();
}

void DragView::dropEvent(QDropEvent* event)
{
    if (offersCopy(event) && performDragOperation(event->mimeData())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
    // Qt tells a drop target nothing once the drag is over, and the drop is
    // its last event: the drag ends here, after the delegate has returned.
    draggingEnded();
}

void DragView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QColor background = currentBackgroundColour();
    painter.fillRect(rect(), background);
    painter.setPen(textColourOn(background));
    QFont font = painter.font();
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * 1.25);
        painter.setFont(font);
    }
    const int margin = 24;
    painter.drawText(rect().adjusted(margin, margin, -margin, -margin), Qt::AlignCenter | Qt::TextWordWrap,
                     hint(m_state));
}

} // namespace strataloom
