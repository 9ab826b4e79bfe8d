#include "platform/widgets/fit_text.h"

#include <QFontMetrics>
#include <QLabel>

namespace {

bool fits(const QLabel* label, const QFont& f, int height) {
    const QFontMetrics m(f);
    if (!label->wordWrap()) return m.horizontalAdvance(label->text()) <= label->width();
    const QRect r = m.boundingRect(QRect(0, 0, label->width(), 100000), Qt::TextWordWrap | int(label->alignment()),
                                   label->text());
    return r.height() <= height && r.width() <= label->width();
}

}  // namespace

void fitLabelText(QLabel* label, const QFont& face, int height) {
    if (height < 0) height = label->height();
    QFont f = face;
    for (int stretch = 100; stretch >= 75 && !fits(label, f, height); stretch -= 5) f.setStretch(stretch);
    for (int px = f.pixelSize() - 1; px >= 8 && !fits(label, f, height); --px) f.setPixelSize(px);
    label->setFont(f);
}

void fitLabelText(QLabel* label) { fitLabelText(label, label->font()); }
