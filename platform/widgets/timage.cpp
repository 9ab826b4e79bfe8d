#include "platform/widgets/timage.h"

#include <QPainter>

TImage::TImage(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NoSystemBackground);
}

QImage TImage::withTransparentKey(const QImage& img) {
    if (img.isNull()) return img;
    QImage out = img.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = out.pixel(0, out.height() - 1) | 0xFF000000u;
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if ((line[x] | 0xFF000000u) == key) line[x] = 0;
    }
    return out;
}

void TImage::rebuild() {
    if (!transparent_) shown_ = picture_;
    else shown_ = keyed_.isNull() ? withTransparentKey(picture_) : keyed_;
    sharpShown_ = QImage();  // keyed when first drawn: a 1x screen never needs it
    // Fixed, so that a later resize cannot take the control off its picture's size.
    // Only when it changes: an LED that swaps faces keeps its size.
    if (autoSize_ && !picture_.isNull() && (minimumSize() != picture_.size() || maximumSize() != picture_.size()))
        setFixedSize(picture_.size());
    update();
}

void TImage::setPicture(const QImage& img) {
    picture_ = img;
    keyed_ = QImage();
    sharp_ = QImage();
    rebuild();
}

void TImage::loadPicture(const QString& resource) {
    picture_ = QImage(resource);
    keyed_ = QImage();
    const int dot = static_cast<int>(resource.lastIndexOf('.'));
    sharp_ = dot < 0 ? QImage() : QImage(resource.left(dot) + "@2x" + resource.mid(dot));
    if (!sharp_.isNull()) sharp_.setDevicePixelRatio(2.0);
    rebuild();
}

TImage* TImage::make(QWidget* parent, const char* name, const char* resource, QRect geometry, bool transparent) {
    auto* img = new TImage(parent);
    img->setObjectName(name);
    img->setGeometry(geometry);
    img->loadPicture(resource);
    img->setTransparent(transparent);
    return img;
}

QImage TImage::sharpFor(double) {
    if (sharpShown_.isNull() && !sharp_.isNull()) sharpShown_ = transparent_ ? withTransparentKey(sharp_) : sharp_;
    return sharpShown_;
}

void TImage::setPicture(const QImage& img, const QImage& transparentForm) {
    picture_ = img;
    keyed_ = transparentForm;
    sharp_ = QImage();
    rebuild();
}

void TImage::setAutoSize(bool on) {
    if (autoSize_ && !on) {
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    autoSize_ = on;
    rebuild();
}

void TImage::setTransparent(bool on) {
    if (on == transparent_) return;
    transparent_ = on;
    rebuild();
}

void TImage::repaintNow() {
    if (!isVisible()) return;
    if (deferred_) update();
    else repaint();
}

void TImage::paintEvent(QPaintEvent*) {
    ++paints_;
    if (shown_.isNull()) return;
    QPainter p(this);
    // On a scaled screen: the sharp form where there is one, and whatever is
    // drawn scaled smoothly, not pixel-doubled (or, at 1.5x, unevenly).
    const double ratio = devicePixelRatioF();
    if (ratio != 1.0) p.setRenderHint(QPainter::SmoothPixmapTransform);
    if (ratio > 1.0) {
        if (const QImage sharp = sharpFor(ratio); !sharp.isNull()) {
            p.drawImage(QRectF(QPointF(0, 0), QSizeF(picture_.size())), sharp);
            return;
        }
    }
    p.drawImage(0, 0, shown_);
}
