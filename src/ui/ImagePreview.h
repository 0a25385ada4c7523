#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QWidget>

class QAbstractButton;
class QLabel;
class QScrollArea;

namespace strataloom {

// An image shown in a scroll area: made smaller to fit the pane, never
// larger, and as it grows or shrinks; pixel for pixel, scrolled, while the
// actual-size switch is on.
class ImagePreview : public QObject {
    Q_OBJECT
public:
    ImagePreview(QScrollArea* area, QLabel* label, QAbstractButton* actualSize, QObject* parent = nullptr);

    void setImage(const QImage& image);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showImage();

    QPointer<QWidget> m_viewport; // the scroll area's, whose size the image fits
    QPointer<QLabel> m_label;
    QPointer<QAbstractButton> m_actualSize;
    QImage m_image;
};

} // namespace strataloom
