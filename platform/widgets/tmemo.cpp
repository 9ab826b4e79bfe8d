#include "platform/widgets/tmemo.h"

#include <QPainter>

void TMemo::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setPen(Qt::black);
    const int h = fontMetrics().height();
    int y = 2;
    for (const QString& l : lines_) {
        if (y > height()) break;
        p.drawText(QRect(3, y, width() - 6, h), Qt::AlignLeft | Qt::AlignVCenter, l);
        y += h;
    }
}
