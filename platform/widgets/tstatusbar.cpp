#include "platform/widgets/tstatusbar.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QStringList>
#include <QPainter>
#include <QToolTip>
#include <algorithm>

#include "platform/widgets/accessible.h"

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent), color_(0xC0, 0xC0, 0xC0) { accessibility::install(); }

void TStatusBar::addPanel(int width, const QString& text) {
    panels_.push_back({width, text});
    update();
}

QString TStatusBar::panelText(int i) const {
    if (i < 0 || i >= panelCount()) return {};
    return panels_[static_cast<size_t>(i)].text;
}

void TStatusBar::setPanelText(int i, const QString& text) {
    if (i < 0 || i >= panelCount()) return;
    if (panels_[static_cast<size_t>(i)].text == text) return;
    panels_[static_cast<size_t>(i)].text = text;
    update();
    accessibility::valueChanged(this, [this] { return accessibility::statusBarText(*this); });
}

int TStatusBar::panelWidth(int i) const {
    if (i < 0 || i >= panelCount()) return 0;
    return panels_[static_cast<size_t>(i)].width;
}

QRect TStatusBar::panelRect(int i) const {
    int left = 0;
    for (int k = 0; k < i && k < panelCount(); ++k) left += panels_[static_cast<size_t>(k)].width;
    const bool last = i == panelCount() - 1;
    const int w = last ? std::max(width() - left, panelWidth(i)) : panelWidth(i);
    return QRect(left, 0, w, height());
}

void TStatusBar::setColor(const QColor& c) {
    color_ = c;
    update();
}

void TStatusBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), color_);
    const QColor light = color_.lighter(150), dark = color_.darker(170);
    for (int i = 0; i < panelCount(); ++i) {
        QRect r = panelRect(i).adjusted(1, 2, -2, -2);
        if (i == panelCount() - 1) r.setRight(width() - 3);
        // Sunken panel bevel.
        p.setPen(dark);
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(light);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
        // The panel's colour is fixed, so is the text's: black or white,
        // whichever reads on it, whatever the desktop's palette.
        p.setPen(qGray(color_.rgb()) > 128 ? Qt::black : Qt::white);
        p.setFont(shownFont(i));
        p.drawText(textRect(i), Qt::AlignCenter | (twoLineFont(i) ? Qt::TextWordWrap : 0), shownText(i));
    }
}

QRect TStatusBar::textRect(int i) const {
    QRect r = panelRect(i).adjusted(1, 2, -2, -2);
    if (i == panelCount() - 1) r.setRight(width() - 3);
    return r.adjusted(3, 1, -3, -1);
}

QFont TStatusBar::oneLineFont(int i) const {
    // A text wider than its panel is drawn in a narrower face first.
    QFont f = font();
    const int advance = QFontMetrics(f).horizontalAdvance(panelText(i));
    const int room = textRect(i).width();
    if (advance > room && advance > 0) f.setStretch(std::max(75, 100 * room / advance));
    return f;
}

std::optional<QFont> TStatusBar::twoLineFont(int i) const {
    // Still too wide, in the last panel (where a status says what to do): on
    // two lines, in a smaller face, when its words fit there, so that it
    // keeps all of it. Elsewhere (a file name) the text is cut.
    if (i != panelCount() - 1) return std::nullopt;
    const QRect room = textRect(i);
    const QString text = panelText(i);
    if (QFontMetrics(oneLineFont(i)).horizontalAdvance(text) <= room.width()) return std::nullopt;
    QFont f = font();
    for (int px = QFontInfo(f).pixelSize(); px >= 8; --px) {
        f.setPixelSize(px);
        const QFontMetrics m(f);
        // Words are not broken: a file name is cut instead.
        const QStringList words = text.split(' ', Qt::SkipEmptyParts);
        if (std::any_of(words.begin(), words.end(), [&](const QString& w) { return m.horizontalAdvance(w) > room.width(); }))
            continue;
        if (m.boundingRect(room, Qt::AlignCenter | Qt::TextWordWrap, text).height() <= room.height()) return f;
    }
    return std::nullopt;
}

QFont TStatusBar::shownFont(int i) const {
    if (const auto two = twoLineFont(i)) return *two;
    return oneLineFont(i);
}

QString TStatusBar::shownText(int i) const {
    if (twoLineFont(i)) return panelText(i);
    // Centred text still too wide would lose both ends; cut the middle
    // instead, so a file name keeps its start and its extension.
    return QFontMetrics(shownFont(i)).elidedText(panelText(i), Qt::ElideMiddle, textRect(i).width());
}

bool TStatusBar::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(e);
        for (int i = 0; i < panelCount(); ++i) {
            if (!panelRect(i).contains(help->pos())) continue;
            // The whole text, for a panel that shows it cut.
            if (shownText(i) != panelText(i)) QToolTip::showText(help->globalPos(), panelText(i), this);
            else QToolTip::hideText();
            return true;
        }
        QToolTip::hideText();
        return true;
    }
    return QWidget::event(e);
}
