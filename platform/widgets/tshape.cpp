#include "platform/widgets/tshape.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "platform/widgets/accessible.h"

TShape::TShape(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    accessibility::install();
}

void TShape::setKeyboardButton(bool on) {
    keyboardButton_ = on;
    setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus);
}

void TShape::press() {
    if (!isEnabled()) return;
    if (OnMouseDown) OnMouseDown(Qt::LeftButton);
    if (OnMouseUp) OnMouseUp(Qt::LeftButton);
}

void TShape::keyPressEvent(QKeyEvent* e) {
    const int k = e->key();
    if (keyboardButton_ && !e->isAutoRepeat() && (k == Qt::Key_Space || k == Qt::Key_Return || k == Qt::Key_Enter)) {
        press();
        e->accept();
        return;
    }
    QWidget::keyPressEvent(e);
}

void TShape::focusInEvent(QFocusEvent* e) {
    update();
    QWidget::focusInEvent(e);
}

void TShape::focusOutEvent(QFocusEvent* e) {
    update();
    QWidget::focusOutEvent(e);
}

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
    const bool focusRing = keyboardButton_ && hasFocus();
    if (!hasPen_ && !hasBrush_ && !focusRing) return;
    QPainter p(this);
    if (focusRing) {
        // Where the keyboard is: a dotted ring, light and dark so it shows
        // on any picture beneath.
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(Qt::NoBrush);
        const QRectF r = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
        for (const auto& [c, style] : {std::pair{QColor(Qt::black), Qt::SolidLine}, {QColor(Qt::white), Qt::DotLine}}) {
            p.setPen(QPen(c, 2, style));
            if (kind_ == Kind::Circle) p.drawEllipse(r);
            else p.drawRect(r);
        }
        if (!hasPen_ && !hasBrush_) return;
    }
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
