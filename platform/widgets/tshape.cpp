#include "platform/widgets/tshape.h"

#include <QMouseEvent>
#include <QPainter>

TShape::TShape(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TranslucentBackground); }

void TShape::setKind(Kind k) {
    kind_ = k;
    update();
}

void TShape::setPen(const QColor& c, int width) {
    pen_ = c;
    penWidth_ = width;
    hasPen_ = true;
    update();
}

void TShape::setNoPen() {
    hasPen_ = false;
    update();
}

void TShape::setBrush(const QColor& c) {
    brush_ = c;
    hasBrush_ = true;
    update();
}

void TShape::setClearBrush() {
    hasBrush_ = false;
    update();
}

void TShape::paintEvent(QPaintEvent*) {
    if (!hasPen_ && !hasBrush_) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (hasPen_) p.setPen(QPen(pen_, penWidth_));
    else p.setPen(Qt::NoPen);
    if (hasBrush_) p.setBrush(brush_);
    else p.setBrush(Qt::NoBrush);
    // The outline lies inside the frame.
    const qreal inset = hasPen_ ? penWidth_ / 2.0 : 0.0;
    const QRectF r = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    if (kind_ == Kind::Circle) p.drawEllipse(r);
    else p.drawRect(r);
}

void TShape::mousePressEvent(QMouseEvent* e) {
    if (OnMouseDown) OnMouseDown(e->button());
    e->accept();
}

void TShape::mouseReleaseEvent(QMouseEvent* e) {
    if (OnMouseUp) OnMouseUp(e->button());
    e->accept();
}
