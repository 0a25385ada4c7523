#include "ImagePreview.h"

#include <QAbstractButton>
#include <QEvent>
#include <QLabel>
#include <QPixmap>
#include <QScrollArea>

namespace strataloom {

ImagePreview::ImagePreview(QScrollArea* area, QLabel* label, QAbstractButton* actualSize, QObject* parent)
    : QObject(parent)
    , m_viewport(area->viewport())
    , m_label(label)
    , m_actualSize(actualSize)
{
    m_actualSize->setCheckable(true);
    m_viewport->installEventFilter(this);
    connect(m_actualSize, &QAbstractButton::toggled, this, &ImagePreview::showImage);
}

void ImagePreview::setImage(const QImage& image)
{
    m_image = image;
    showImage();
}

bool ImagePreview::eventFilter(QObject* watched, QEvent* event)
{
    // Only the type and the address are looked at first: the pane's widgets
    // still send events while they are being destroyed.
    if (event->type() == QEvent::Resize && watched == m_viewport.data() && m_actualSize && !m_actualSize->isChecked())
        showImage();
    return QObject::eventFilter(watched, event);
}

void ImagePreview::showImage()
{
    if (!m_viewport || !m_label || !m_actualSize)
        return;
    const QSize pane = m_viewport->size();
    const bool fits = m_image.width() <= pane.width() && m_image.height() <= pane.height();
    // The switch matters only for an image that does not fit.
    m_actualSize->setEnabled(!fits || m_actualSize->isChecked());
    if (m_actualSize->isChecked() || fits || pane.isEmpty())
        m_label->setPixmap(QPixmap::fromImage(m_image));
    else
        m_label->setPixmap(QPixmap::fromImage(m_image.scaled(pane, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

} // namespace strataloom
