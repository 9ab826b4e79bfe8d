#include "platform/widgets/tcgauge.h"

#include <QPainter>

#include "platform/widgets/accessible.h"
#include <algorithm>

TCGauge::TCGauge(QWidget* parent) : QWidget(parent) { accessibility::install(); }

void TCGauge::setMinValue(int v) {
    min_ = v;
    update();
}

void TCGauge::setMaxValue(int v) {
    if (v == 0) return;
    max_ = v;
    update();
}

void TCGauge::setProgress(int v) {
    if (v == progress_) return;
    const int before = PercentDone();
    progress_ = v;
    // The bar and its text follow the percentage alone.
    if (PercentDone() == before) return;
    update();
    accessibility::valueChanged(this, [this] { return PercentDone(); });
}

int TCGauge::PercentDone() const {
    if (max_ == min_) return 0;
    const long long done = static_cast<long long>(progress_) - min_;
    return static_cast<int>(done * 100 / (static_cast<long long>(max_) - min_));
}

void TCGauge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), back_);
    const int pct = PercentDone();
    const int w = width() * std::clamp(pct, 0, 100) / 100;
    p.fillRect(QRect(0, 0, w, height()), fore_);
    const QString text = QString::number(pct) + "%";
    // Text in the bar's colours, inverted where the bar has filled.
    p.setPen(fore_);
    p.setClipRect(QRect(w, 0, width() - w, height()));
    p.drawText(rect(), Qt::AlignCenter, text);
    p.setPen(back_);
    p.setClipRect(QRect(0, 0, w, height()));
    p.drawText(rect(), Qt::AlignCenter, text);
}
