#include "ImagePreview.h"

#include <QAbstractButton>
#include <QEvent>
#include <QLabel>
#include <QPixmap>
#include <QScrollArea>

namespace strataloom {

ImagePreview::ImagePreview(QScrollArea* area, QLabel* label, QAbstractButton* actualSize, QObject* parent)
    : QObject(parent)
    , m_area(area)
    , m_label(label)
    , m_actualSize(actualSize)
{
    m_actualSize->setCheckable(true);
    m_area->viewport()->installEventFilter(this);
    connect(m_actualSize, &QAbstractButton::toggled, this, &ImagePreview::showImage);
}

void ImagePreview::setImage(const QImage& image)
{
    m_image = image;
    showImage();
}

bool ImagePreview::eventFilter(QObject* watched, QEvent* event)
{
    if (m_area && watched == m_area->viewport() && event->type() == QEvent::Resize && !m_actualSize->isChecked())
        showImage();
    return QObject::eventFilter(watched, event);
}

void ImagePreview::showImage()
{
    if (!m_area || !m_label || !m_actualSize)
        return;
    const QSize pane = m_area->viewport()->size();
    const bool fits = m_image.width() <= pane.width() && m_image.height() <= pane.height();
    // The switch matters only for an image that does not fit.
    m_actualSize->setEnabled(!fits || m_actualSize->isChecked());
    if (m_actualSize->isChecked() || fits || pane.isEmpty())
        m_label->setPixmap(QPixmap::fromImage(m_image));
    else
        m_label->setPixmap(QPixmap::fromImage(m_image.scaled(pane, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

} // namespace strataloom
