// The painting helpers every picture of kolva-artwork is made from.

#include "artwork.h"

#include <QConicalGradient>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QRadialGradient>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace art {

QString loadFamily(const QString& path) {
    const int id = QFontDatabase::addApplicationFont(path);
    if (id < 0) return {};
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    return families.isEmpty() ? QString() : families.first();
}

QFont legendFont(const Fonts& fonts, bool demi, double pixels, double spacing) {
    QFont f(demi ? fonts.demi : fonts.book);
    f.setStyleName(demi ? "Demi" : "Book");
    f.setPixelSize(static_cast<int>(pixels));
    f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// Draws text centred on x with its baseline at y. Letter spacing is added
// after every letter, the last one included; the centring leaves it out.
double legendWidth(const QFont& f, const QString& text) {
    return QFontMetricsF(f).horizontalAdvance(text) - f.letterSpacing();
}

void legendAt(QPainter& p, const QFont& f, double x, double baseline, const QString& text, const QColor& ink) {
    const double width = legendWidth(f, text);
    p.setFont(f);
    p.setPen(withAlpha(QColor(0, 0, 0), 110));
    p.drawText(QPointF(x - width / 2.0 + 0.0, baseline + 1.0), text);
    p.setPen(ink);
    p.drawText(QPointF(x - width / 2.0, baseline), text);
}



// Dark anodised aluminium with a horizontal brush grain.
QImage brushedMetal(int logicalWidth, int logicalHeight, uint32_t seed) {
    Noise noise(seed);
    const int scale = static_cast<int>(gScale);
    const int width = logicalWidth * scale;
    const int height = logicalHeight * scale;
    const int blur = 48 * scale;  // length of a brush stroke, in pixels
    const int scratch = 40 * scale;
    std::vector<double> raw(static_cast<size_t>(width + 2 * blur));
    std::vector<double> prev(static_cast<size_t>(width), 0.0);
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (double& v : raw) v = noise.symmetric();
        // Sparse brighter scratches give the grain its character.
        for (int k = 0; k < 3; ++k) {
            const int at = static_cast<int>(noise.unit() * static_cast<double>(raw.size() - static_cast<size_t>(scratch)));
            const double s = 1.2 + noise.unit() * 1.8;
            for (int i = 0; i < scratch; ++i) raw[static_cast<size_t>(at + i)] += s * std::sin(i * kPi / scratch);
        }
        const double rowShade = noise.symmetric() * 1.6;
        std::vector<double> row(static_cast<size_t>(width));
        double acc = 0;
        for (int i = 0; i < blur; ++i) acc += raw[static_cast<size_t>(i)];
        for (int x = 0; x < width; ++x) {
            acc += raw[static_cast<size_t>(x + blur)] - raw[static_cast<size_t>(x)];
            const double streak = acc / std::sqrt(static_cast<double>(blur));
            row[static_cast<size_t>(x)] = 0.65 * streak + 0.35 * prev[static_cast<size_t>(x)];
        }
        prev = row;
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        // A soft light falls from the top: the panel is a little lighter up there.
        const double vertical = 9.0 * (1.0 - static_cast<double>(y) / height);
        for (int x = 0; x < width; ++x) {
            const double xs = static_cast<double>(x) / width - 0.5;
            const double vignette = -10.0 * xs * xs;
            const double fine = noise.symmetric() * 1.2;
            const double v = 36.0 + vertical + vignette + rowShade + 1.5 * row[static_cast<size_t>(x)] + fine;
            line[x] = qRgb(clampByte(v), clampByte(v + 1.0), clampByte(v + 3.0));
        }
    }
    img.setDevicePixelRatio(gScale);
    return img;
}


void drawScrew(QPainter& p, QPointF c, double slotAngle) {
    QRadialGradient shadow(c + QPointF(1.0, 1.5), 7.5);
    shadow.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 150));
    shadow.setColorAt(0.7, withAlpha(QColor(0, 0, 0), 80));
    shadow.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(c + QPointF(1.0, 1.5), 7.5, 7.5);

    QRadialGradient head(c + QPointF(-1.8, -2.0), 7.0);
    head.setColorAt(0.0, QColor(0xC8, 0xC9, 0xCC));
    head.setColorAt(0.55, QColor(0x74, 0x76, 0x7A));
    head.setColorAt(1.0, QColor(0x34, 0x35, 0x38));
    p.setBrush(head);
    p.setPen(QPen(QColor(0x14, 0x14, 0x16), 0.8));
    p.drawEllipse(c, 5.0, 5.0);

    // Cross recess.
    for (double a : {slotAngle, slotAngle + 90.0}) {
        const QPointF d = polar(QPointF(), 3.4, a);
        p.setPen(QPen(withAlpha(QColor(255, 255, 255), 70), 1.3, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(c - d + QPointF(0.5, 0.6), c + d + QPointF(0.5, 0.6));
        p.setPen(QPen(QColor(0x1A, 0x1A, 0x1C), 1.3, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(c - d, c + d);
    }
}

namespace {

QPainterPath logoText(const Fonts& fonts, double pixels, double spacing) {
    QPainterPath text;
    text.addText(QPointF(0, 0), legendFont(fonts, true, pixels, spacing), "KOLVA");
    return text;
}

// Gap between the name and its bar, and the bar's thickness, for a logo of
// the given letter size.
double barGap(double pixels) { return 3.0 * pixels / 21.0; }
double barHeight(double pixels) { return std::max(1.0, 1.6 * pixels / 21.0); }

}  // namespace

QRectF logoBounds(const Fonts& fonts, double pixels, double spacing) {
    const QRectF box = logoText(fonts, pixels, spacing).boundingRect();
    return {0, 0, box.width() + 0.8, box.height() + barGap(pixels) + barHeight(pixels) + 0.8};
}

void drawLogo(QPainter& p, const Fonts& fonts, QPointF topLeft, double pixels, double spacing) {
    QPainterPath text = logoText(fonts, pixels, spacing);
    const QRectF box = text.boundingRect();
    text.translate(topLeft - box.topLeft());
    const QRectF r = text.boundingRect();

    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(QColor(0, 0, 0), 150));
    p.drawPath(text.translated(0.8, 1.2));
    QLinearGradient chrome(r.topLeft(), r.bottomLeft());
    chrome.setColorAt(0.0, QColor(0xFA, 0xFA, 0xFA));
    chrome.setColorAt(0.45, QColor(0xC4, 0xC6, 0xCA));
    chrome.setColorAt(0.55, QColor(0x8E, 0x91, 0x96));
    chrome.setColorAt(1.0, QColor(0xD8, 0xDA, 0xDE));
    p.setBrush(chrome);
    p.drawPath(text);

    // Underline bar that runs under the name, the maker's mark.
    const QRectF bar(r.left(), r.bottom() + barGap(pixels), r.width(), barHeight(pixels));
    p.setBrush(withAlpha(QColor(0, 0, 0), 130));
    p.drawRect(bar.translated(0.6, 0.8));
    QLinearGradient barInk(bar.topLeft(), bar.topRight());
    barInk.setColorAt(0.0, QColor(0xD0, 0x2A, 0x22));
    barInk.setColorAt(1.0, QColor(0x8A, 0x14, 0x12));
    p.setBrush(barInk);
    p.drawRect(bar);
}


// A pressed-in chrome bezel with the LED's dark well: the LED control sits
// exactly over the well.
void drawLedBezel(QPainter& p, QPointF c) {
    p.setPen(Qt::NoPen);
    QRadialGradient shadow(c + QPointF(0.8, 1.2), 11.0);
    shadow.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 140));
    shadow.setColorAt(0.8, withAlpha(QColor(0, 0, 0), 70));
    shadow.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 0));
    p.setBrush(shadow);
    p.drawEllipse(c + QPointF(0.8, 1.2), 11.0, 11.0);

    QLinearGradient rim(c + QPointF(-7, -8), c + QPointF(7, 8));
    rim.setColorAt(0.0, QColor(0xE4, 0xE5, 0xE8));
    rim.setColorAt(0.45, QColor(0x8C, 0x8E, 0x92));
    rim.setColorAt(1.0, QColor(0x3A, 0x3B, 0x3E));
    p.setBrush(rim);
    p.setPen(QPen(QColor(0x12, 0x12, 0x14), 0.7));
    p.drawEllipse(c, 9.0, 9.0);

    // The rim's inner chamfer faces the other way.
    QLinearGradient chamfer(c + QPointF(-6, -6), c + QPointF(6, 6));
    chamfer.setColorAt(0.0, QColor(0x30, 0x31, 0x34));
    chamfer.setColorAt(1.0, QColor(0xB8, 0xBA, 0xBE));
    p.setPen(Qt::NoPen);
    p.setBrush(chamfer);
    p.drawEllipse(c, 7.9, 7.9);

    QRadialGradient hole(c + QPointF(0.6, 0.8), 7.2);
    hole.setColorAt(0.0, QColor(0x1E, 0x1C, 0x1C));
    hole.setColorAt(0.75, QColor(0x0E, 0x0D, 0x0D));
    hole.setColorAt(1.0, QColor(0x04, 0x04, 0x04));
    p.setBrush(hole);
    p.drawEllipse(c, 7.1, 7.1);

    // The unlit lens at the bottom of the well.
    QRadialGradient lens(c + QPointF(-1.6, -1.8), 6.0);
    lens.setColorAt(0.0, QColor(0x5A, 0x56, 0x54));
    lens.setColorAt(0.5, QColor(0x2C, 0x2A, 0x2A));
    lens.setColorAt(1.0, QColor(0x16, 0x15, 0x15));
    p.setBrush(lens);
    p.drawEllipse(c, 5.6, 5.6);
}

// An aluminium-capped knob on a knurled black skirt, seen from above.
void drawKnob(QPainter& p, QPointF c, double pointerAngle, uint32_t seed) {
    Noise noise(seed);
    const double skirt = 31.0;
    const double cap = 24.0;

    // Soft shadow, the light coming from the upper left.
    const QPointF sc = c + QPointF(2.6, 3.6);
    QRadialGradient shadow(sc, skirt + 7.0);
    shadow.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 200));
    shadow.setColorAt(0.78, withAlpha(QColor(0, 0, 0), 150));
    shadow.setColorAt(0.88, withAlpha(QColor(0, 0, 0), 60));
    shadow.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(sc, skirt + 7.0, skirt + 7.0);

    // Skirt.
    QRadialGradient body(c + QPointF(-6, -7), skirt + 8.0);
    body.setColorAt(0.0, QColor(0x4A, 0x4B, 0x4E));
    body.setColorAt(0.7, QColor(0x22, 0x23, 0x25));
    body.setColorAt(1.0, QColor(0x0C, 0x0C, 0x0D));
    p.setBrush(body);
    p.setPen(QPen(QColor(0x06, 0x06, 0x07), 1.0));
    p.drawEllipse(c, skirt, skirt);

    // Knurling: fine radial ridges lit according to their side.
    const int ridges = 84;
    for (int i = 0; i < ridges; ++i) {
        const double a = 360.0 * i / ridges;
        const double light = std::cos((a + 45.0) * kPi / 180.0);  // 1 at the upper left
        const int alpha = static_cast<int>(35 + 45 * (light + 1.0) / 2.0);
        p.setPen(QPen(withAlpha(QColor(255, 255, 255), alpha), 0.9, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(polar(c, cap + 2.2, a), polar(c, skirt - 1.0, a));
        const double b = a + 180.0 / ridges;
        p.setPen(QPen(withAlpha(QColor(0, 0, 0), 150), 0.9, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(polar(c, cap + 2.2, b), polar(c, skirt - 1.0, b));
    }
    // Rounded top edge of the skirt catches the light.
    QLinearGradient edge(c + QPointF(-skirt, -skirt), c + QPointF(skirt, skirt));
    edge.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 150));
    edge.setColorAt(0.45, withAlpha(QColor(255, 255, 255), 20));
    edge.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 120));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(edge), 1.4));
    p.drawEllipse(c, skirt - 1.2, skirt - 1.2);
    QLinearGradient step(c + QPointF(-cap, -cap), c + QPointF(cap, cap));
    step.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 170));
    step.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 60));
    p.setPen(QPen(QBrush(step), 1.4));
    p.drawEllipse(c, cap + 1.4, cap + 1.4);

    // Pointer line on the skirt.
    p.setPen(QPen(withAlpha(QColor(0, 0, 0), 160), 3.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(polar(c, cap + 2.4, pointerAngle) + QPointF(0.5, 0.7),
               polar(c, skirt - 1.2, pointerAngle) + QPointF(0.5, 0.7));
    p.setPen(QPen(QColor(0xF4, 0xF4, 0xF0), 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(polar(c, cap + 2.4, pointerAngle), polar(c, skirt - 1.2, pointerAngle));

    // Spun aluminium cap.
    QConicalGradient spun(c, 45.0);
    const QColor a0(0xB8, 0xBA, 0xBD), a1(0xF0, 0xF1, 0xF2), a2(0xA6, 0xA8, 0xAC), a3(0xE2, 0xE3, 0xE5);
    spun.setColorAt(0.00, a1);
    spun.setColorAt(0.12, a0);
    spun.setColorAt(0.25, a3);
    spun.setColorAt(0.37, a2);
    spun.setColorAt(0.50, a1);
    spun.setColorAt(0.62, a0);
    spun.setColorAt(0.75, a3);
    spun.setColorAt(0.87, a2);
    spun.setColorAt(1.00, a1);
    p.setPen(Qt::NoPen);
    p.setBrush(spun);
    p.drawEllipse(c, cap, cap);
    // Lathe rings.
    for (double r = 1.0; r < cap - 0.8; r += 0.75) {
        const double n = noise.symmetric();
        const QColor ring = n > 0 ? withAlpha(QColor(255, 255, 255), static_cast<int>(n * 34))
                                  : withAlpha(QColor(0, 0, 0), static_cast<int>(-n * 22));
        p.setPen(QPen(ring, 0.6));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(c, r, r);
    }
    // Overall light falloff toward the lower right.
    QLinearGradient falloff(c + QPointF(-cap, -cap), c + QPointF(cap, cap));
    falloff.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 40));
    falloff.setColorAt(0.5, withAlpha(QColor(255, 255, 255), 0));
    falloff.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 45));
    p.setPen(Qt::NoPen);
    p.setBrush(falloff);
    p.drawEllipse(c, cap, cap);
    // Chamfered rim of the cap.
    QLinearGradient chamfer(c + QPointF(-cap, -cap), c + QPointF(cap, cap));
    chamfer.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 220));
    chamfer.setColorAt(0.5, withAlpha(QColor(160, 160, 160), 120));
    chamfer.setColorAt(1.0, withAlpha(QColor(30, 30, 30), 200));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(chamfer), 1.6));
    p.drawEllipse(c, cap - 1.0, cap - 1.0);
    p.setPen(QPen(QColor(0x1C, 0x1C, 0x1E), 0.8));
    p.drawEllipse(c, cap, cap);
}

// A square rubber push button, set into a cut-out of the panel.
void drawButton(QPainter& p, QRectF r) {
    p.setPen(Qt::NoPen);
    // Cut-out.
    const QRectF hole = r.adjusted(-3, -3, 3, 3);
    p.setBrush(QColor(0x08, 0x08, 0x09));
    p.drawRoundedRect(hole, 5.5, 5.5);
    QLinearGradient lip(hole.topLeft(), hole.bottomRight());
    lip.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 160));
    lip.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 90));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(lip), 1.0));
    p.drawRoundedRect(hole.adjusted(-0.5, -0.5, 0.5, 0.5), 6.0, 6.0);

    // Cap shadow inside the cut-out.
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(QColor(0, 0, 0), 160));
    p.drawRoundedRect(r.translated(1.0, 1.6), 4.0, 4.0);

    QLinearGradient face(r.topLeft(), r.bottomLeft());
    face.setColorAt(0.0, QColor(0x5A, 0x5B, 0x5F));
    face.setColorAt(0.12, QColor(0x3C, 0x3D, 0x40));
    face.setColorAt(0.85, QColor(0x24, 0x25, 0x27));
    face.setColorAt(1.0, QColor(0x18, 0x18, 0x1A));
    p.setBrush(face);
    p.setPen(QPen(QColor(0x0A, 0x0A, 0x0B), 0.8));
    p.drawRoundedRect(r, 4.0, 4.0);
    // Soft sheen on the rubber's top.
    QRadialGradient sheen(QPointF(r.center().x(), r.top() + 2.0), r.width() * 0.55);
    sheen.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 38));
    sheen.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sheen);
    p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 3.5, 3.5);
    QLinearGradient hl(r.topLeft(), r.topRight());
    hl.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 30));
    hl.setColorAt(0.5, withAlpha(QColor(255, 255, 255), 95));
    hl.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 30));
    p.setPen(QPen(QBrush(hl), 0.8));
    p.drawLine(QPointF(r.left() + 3.5, r.top() + 1.2), QPointF(r.right() - 3.5, r.top() + 1.2));
}

void drawTriangle(QPainter& p, QPointF c, double size, bool up, const QColor& ink) {
    const double h = size * 0.866;
    QPainterPath t;
    if (up) {
        t.moveTo(c.x(), c.y() - h / 2);
        t.lineTo(c.x() + size / 2, c.y() + h / 2);
        t.lineTo(c.x() - size / 2, c.y() + h / 2);
    } else {
        t.moveTo(c.x() - size / 2, c.y() - h / 2);
        t.lineTo(c.x() + size / 2, c.y() - h / 2);
        t.lineTo(c.x(), c.y() + h / 2);
    }
    t.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(QColor(0, 0, 0), 110));
    p.drawPath(t.translated(0, 1));
    p.setBrush(ink);
    p.drawPath(t);
}

// ---------------------------------------------------------------- key colour

// No drawn pixel may carry the key colour by accident; one that does is moved
// by one step of blue, which nobody can see.
void avoidKey(QImage& img) {
    for (int y = 0; y < img.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            if ((line[x] & 0x00FFFFFFu) == (kKey & 0x00FFFFFFu)) line[x] = qRgb(0xFF, 0x00, 0xFE);
    }
}

// Paints the key colour wherever the shape covers no part of a pixel.
void applyKey(QImage& img, const QPainterPath& shape) {
    QImage coverage(img.size(), QImage::Format_Grayscale8);
    coverage.setDevicePixelRatio(img.devicePixelRatio());
    coverage.fill(0);
    {
        QPainter p(&coverage);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.fillPath(shape, Qt::white);
    }
    avoidKey(img);
    for (int y = 0; y < img.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        const uchar* cov = coverage.constScanLine(y);
        for (int x = 0; x < img.width(); ++x)
            if (cov[x] == 0) line[x] = kKey;
    }
}

int countKey(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0x00FFFFFFu) == (kKey & 0x00FFFFFFu)) ++n;
    return n;
}

double gScale = 1.0;

QImage canvas(QSize size, QImage::Format format) {
    QImage img(size * gScale, format);
    img.setDevicePixelRatio(gScale);
    return img;
}

QImage cut(const QImage& img, QRect r) {
    const double s = img.devicePixelRatio();
    QImage part = img.copy(QRect(QPoint(int(r.x() * s), int(r.y() * s)), r.size() * s));
    part.setDevicePixelRatio(s);
    return part;
}

bool save(const QImage& img, const QString& logicalPath) {
    // At 2x, "name.png" is written as "name@2x.png", the name Qt looks for.
    QString path = logicalPath;
    if (gScale != 1.0) path.insert(path.lastIndexOf('.'), QString("@%1x").arg(gScale));
    // Plain opaque RGB: the key colour, not an alpha channel, makes the holes.
    const QImage out = img.convertToFormat(QImage::Format_RGB888);
    if (!out.save(path, "PNG")) {
        std::fprintf(stderr, "kolva-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s: %d x %d, %d key pixels\n", qPrintable(path), out.width(), out.height(), countKey(out));
    return true;
}

}  // namespace art
