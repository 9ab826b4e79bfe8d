// The pictures of the two small windows, made of the main panel's metal and
// lettering so they read as the same product:
//
//   wizard_background.png  467 x 350  startup help window, opaque
//   test_background.png    280 x 210  MIDI test window, opaque
//   testmidi_idle/pressed  66 x 66    round "TEST MIDI" button, keyed
//   next_idle/pressed      68 x 68    round "next" arrow button, keyed
//   close.png              16 x 16    close glyph, opaque
//   amp_front.png          263 x 107  the amplifier's front for the revision step
//
// The windows draw their own text, buttons and check box over the
// backgrounds; the places they take are listed with each background and are
// left as plain dark metal so that the text stays readable.

#include "artwork.h"

#include <QDir>
#include <QLinearGradient>
#include <QRadialGradient>

#include <functional>

namespace art {
namespace {

constexpr QSize kWizardSize(467, 350);
constexpr QSize kTestSize(280, 210);
constexpr QSize kAmpFrontSize(263, 107);

// Where the windows put their round buttons over the backgrounds; the
// buttons are cut out of the background at these spots so that their
// antialiased rims blend with what is really behind them.
constexpr QPoint kNextAt(204, 242);       // 68 x 68 on the wizard
constexpr QPoint kTestMidiAt(107, 137);   // 66 x 66 on the MIDI test window

const QColor kLitRed(0xFF, 0x3A, 0x26);
const QColor kLitGreen(0x3C, 0xF0, 0x52);
const QColor kLitAmber(0xFF, 0xB8, 0x30);
const QColor kBackdrop(0x17, 0x18, 0x1A);  // behind the small opaque pictures' rounded corners

void begin(QPainter& p, QImage& img) {
    p.begin(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
}

// The panel's metal, a shade darker: these windows carry white text.
void darkMetal(QPainter& p, QRectF r, uint32_t seed, int darken) {
    p.drawImage(r.topLeft(), brushedMetal(static_cast<int>(r.width()), static_cast<int>(r.height()), seed));
    p.fillRect(r, withAlpha(QColor(0, 0, 0), darken));
}

// A bevelled frame around a window: light top and left, dark bottom and right.
void windowFrame(QPainter& p, QRectF r) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x05, 0x05, 0x06), 1.0));
    p.drawRect(r.adjusted(0.5, 0.5, -0.5, -0.5));
    for (int i = 0; i < 2; ++i) {
        const QRectF e = r.adjusted(1.5 + i, 1.5 + i, -1.5 - i, -1.5 - i);
        const int hi = 80 - 40 * i, lo = 140 - 60 * i;
        p.setPen(QPen(withAlpha(QColor(255, 255, 255), hi), 1.0));
        p.drawLine(e.topLeft(), e.topRight());
        p.drawLine(e.topLeft(), e.bottomLeft());
        p.setPen(QPen(withAlpha(QColor(0, 0, 0), lo), 1.0));
        p.drawLine(e.bottomLeft(), e.bottomRight());
        p.drawLine(e.topRight(), e.bottomRight());
    }
}

// An engraved line across the metal: a dark cut with a lit lower edge.
void groove(QPainter& p, QPointF from, QPointF to) {
    QLinearGradient fade(from, to);
    fade.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 0));
    fade.setColorAt(0.12, withAlpha(QColor(0, 0, 0), 170));
    fade.setColorAt(0.88, withAlpha(QColor(0, 0, 0), 170));
    fade.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 0));
    p.setPen(QPen(QBrush(fade), 1.0));
    p.drawLine(from, to);
    QLinearGradient lit(from, to);
    lit.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 0));
    lit.setColorAt(0.5, withAlpha(QColor(255, 255, 255), 55));
    lit.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 0));
    p.setPen(QPen(QBrush(lit), 1.0));
    p.drawLine(from + QPointF(0, 1), to + QPointF(0, 1));
}

// A soft pool of shade, darkest in the middle, with no edge of its own.
void shade(QPainter& p, QRectF r, int alpha) {
    QRadialGradient g(0.5, 0.5, 0.5);  // in the ellipse's own coordinates
    g.setCoordinateMode(QGradient::ObjectMode);
    g.setColorAt(0.0, withAlpha(QColor(0, 0, 0), alpha));
    g.setColorAt(0.7, withAlpha(QColor(0, 0, 0), alpha * 2 / 3));
    g.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(r);
}

// Glow of a lit lamp: a coloured halo that fades out at radius.
void glow(QPainter& p, QPointF c, double radius, const QColor& colour, int alpha) {
    QRadialGradient g(c, radius);
    g.setColorAt(0.0, withAlpha(colour, alpha));
    g.setColorAt(0.45, withAlpha(colour, alpha / 2));
    g.setColorAt(1.0, withAlpha(colour, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(c, radius, radius);
}

// ---------------------------------------------------------------- backgrounds

// Startup help. The window draws its instructions in x 49..426, y 133..256,
// its round buttons at (138, 244) and (204, 242), a check box at (152, 321)
// and the close button at (450, 4): all of that stays plain.
QImage renderWizardBackground(const Fonts& fonts) {
    QImage img = canvas(kWizardSize, QImage::Format_RGB32);
    QPainter p;
    begin(p, img);
    const QRectF all(QPointF(0, 0), QSizeF(kWizardSize));
    darkMetal(p, all, 0x5A17C0DEu, 70);

    // The header band is a separate, lighter plate above an engraved line.
    const double bandBottom = 112.0;
    QLinearGradient band(0, 0, 0, bandBottom);
    band.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 22));
    band.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 6));
    p.fillRect(QRectF(0, 0, all.width(), bandBottom), band);
    QLinearGradient below(0, bandBottom, 0, bandBottom + 26);
    below.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 70));
    below.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 0));
    p.fillRect(QRectF(0, bandBottom, all.width(), 26), below);
    groove(p, QPointF(3, bandBottom - 0.5), QPointF(all.width() - 3, bandBottom - 0.5));

    // Deeper shade where the text and the buttons go.
    shade(p, QRectF(-20, 118, all.width() + 40, 260), 45);

    const double logoPixels = 34, logoSpacing = 5.0;
    const QRectF logo = logoBounds(fonts, logoPixels, logoSpacing);
    drawLogo(p, fonts, QPointF(all.width() / 2.0 - logo.width() / 2.0, 26.0), logoPixels, logoSpacing);
    const QFont tagline = legendFont(fonts, true, 11, 4.2);
    legendAt(p, tagline, all.width() / 2.0, 26.0 + logo.height() + 22.0, "FIRMWARE UPDATER");

    // A row of unlit ring LEDs either side of the tagline, a nod to the panel.
    for (int side : {-1, 1})
        for (int i = 0; i < 3; ++i) {
            const QPointF c(all.width() / 2.0 + side * (104.0 + 14.0 * i), 26.0 + logo.height() + 18.0);
            p.save();
            p.translate(c);
            p.scale(0.42, 0.42);
            drawLedBezel(p, QPointF(0, 0));
            p.restore();
        }

    // Screws only at the bottom, as on the MIDI test window: the close
    // button takes the top right corner.
    drawScrew(p, QPointF(14.5, all.height() - 14.5), 20.0);
    drawScrew(p, QPointF(all.width() - 14.5, all.height() - 14.5), 65.0);

    windowFrame(p, all);
    p.end();
    return img;
}

// A five-pin MIDI socket seen from the front, its key notch at the bottom.
void drawMidiSocket(QPainter& p, QPointF c) {
    p.setPen(Qt::NoPen);
    glow(p, c + QPointF(1.0, 1.6), 18.0, QColor(0, 0, 0), 170);

    QLinearGradient rim(c + QPointF(-12, -13), c + QPointF(12, 13));
    rim.setColorAt(0.0, QColor(0xE6, 0xE7, 0xEA));
    rim.setColorAt(0.45, QColor(0x8C, 0x8E, 0x92));
    rim.setColorAt(1.0, QColor(0x32, 0x33, 0x36));
    p.setBrush(rim);
    p.setPen(QPen(QColor(0x0E, 0x0E, 0x10), 0.8));
    p.drawEllipse(c, 14.5, 14.5);
    QLinearGradient inner(c + QPointF(-10, -10), c + QPointF(10, 10));
    inner.setColorAt(0.0, QColor(0x2A, 0x2B, 0x2E));
    inner.setColorAt(1.0, QColor(0xA8, 0xAA, 0xAE));
    p.setPen(Qt::NoPen);
    p.setBrush(inner);
    p.drawEllipse(c, 12.2, 12.2);
    p.setBrush(QColor(0x07, 0x07, 0x08));
    p.drawEllipse(c, 11.2, 11.2);

    // Insulator with the pin holes on its upper half.
    QRadialGradient body(c + QPointF(-2.5, -3.0), 11.0);
    body.setColorAt(0.0, QColor(0x3A, 0x3A, 0x3C));
    body.setColorAt(1.0, QColor(0x16, 0x16, 0x17));
    p.setBrush(body);
    p.drawEllipse(c, 9.6, 9.6);
    for (double a : {-90.0, -45.0, 0.0, 45.0, 90.0}) {
        const QPointF h = polar(c, 5.8, a);
        p.setBrush(withAlpha(QColor(255, 255, 255), 45));
        p.drawEllipse(h + QPointF(0.3, 0.5), 1.35, 1.35);
        p.setBrush(QColor(0x02, 0x02, 0x02));
        p.drawEllipse(h, 1.3, 1.3);
    }
    p.setBrush(QColor(0x07, 0x07, 0x08));
    p.drawRect(QRectF(c.x() - 1.6, c.y() + 7.4, 3.2, 3.4));
}

// MIDI test. White text in x 67..214, y 18..90, light red text in x 31..251,
// y 95..127, the round button at (107, 137) and the close button at (261, 5).
QImage renderTestBackground(const Fonts& fonts) {
    QImage img = canvas(kTestSize, QImage::Format_RGB32);
    QPainter p;
    begin(p, img);
    const QRectF all(QPointF(0, 0), QSizeF(kTestSize));
    darkMetal(p, all, 0x7E57B00Bu, 70);
    shade(p, QRectF(20, 0, 240, 150), 50);

    drawLogo(p, fonts, QPointF(9.0, 8.0), 11, 1.8);

    const QFont label = legendFont(fonts, true, 8, 1.4);
    const double socketY = 60.0;
    const double inX = 37.0, outX = all.width() - 37.0;
    drawMidiSocket(p, QPointF(inX, socketY));
    drawMidiSocket(p, QPointF(outX, socketY));
    legendAt(p, label, inX, socketY - 22.0, "MIDI IN");
    legendAt(p, label, outX, socketY - 22.0, "MIDI OUT");

    drawScrew(p, QPointF(13.5, all.height() - 13.5), 30.0);
    drawScrew(p, QPointF(all.width() - 13.5, all.height() - 13.5), 75.0);

    windowFrame(p, all);
    p.end();
    return img;
}

// ---------------------------------------------------------------- round buttons

// A round push button in a chrome bezel, drawn over the part of a background
// it covers. Raised, it is lit from the upper left; pressed, its cap sinks,
// the shading turns over and a lamp ring in the bezel lights up. The legend is
// drawn by the caller, already shifted for the pressed state.
QImage roundButton(const QImage& behind, bool pressed, const QColor& lamp,
                   const std::function<void(QPainter&, QPointF)>& legend) {
    QImage img = behind.convertToFormat(QImage::Format_RGB32);
    const double size = img.deviceIndependentSize().width();
    const QPointF c(size / 2.0, size / 2.0);
    const double outer = size / 2.0 - 1.0;
    const double cap = outer - 6.0;
    QPainter p;
    begin(p, img);
    p.setPen(Qt::NoPen);

    // Shadow on the window's metal, kept inside the round picture.
    QRadialGradient shadow(c + QPointF(0.8, 1.2), size / 2.0);
    shadow.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 200));
    shadow.setColorAt((outer - 0.5) / (size / 2.0), withAlpha(QColor(0, 0, 0), 170));
    shadow.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 0));
    p.setBrush(shadow);
    p.drawEllipse(c + QPointF(0.8, 1.2), size / 2.0, size / 2.0);

    // Chrome bezel.
    QLinearGradient rim(c + QPointF(-outer, -outer), c + QPointF(outer, outer));
    rim.setColorAt(0.0, QColor(0xEE, 0xEF, 0xF1));
    rim.setColorAt(0.4, QColor(0x9A, 0x9C, 0xA0));
    rim.setColorAt(0.6, QColor(0x70, 0x72, 0x76));
    rim.setColorAt(1.0, QColor(0x2C, 0x2D, 0x30));
    p.setBrush(rim);
    p.setPen(QPen(QColor(0x0A, 0x0A, 0x0B), 0.8));
    p.drawEllipse(c, outer, outer);
    QLinearGradient chamfer(c + QPointF(-outer, -outer), c + QPointF(outer, outer));
    chamfer.setColorAt(0.0, QColor(0x26, 0x27, 0x2A));
    chamfer.setColorAt(1.0, QColor(0xB4, 0xB6, 0xBA));
    p.setPen(Qt::NoPen);
    p.setBrush(chamfer);
    p.drawEllipse(c, outer - 2.6, outer - 2.6);
    // The gap between bezel and cap, where the lamp ring sits.
    p.setBrush(QColor(0x06, 0x06, 0x07));
    p.drawEllipse(c, outer - 3.6, outer - 3.6);
    if (pressed) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(withAlpha(lamp, 120), 3.2));
        p.drawEllipse(c, cap + 1.3, cap + 1.3);
        p.setPen(QPen(lamp.lighter(125), 1.2));
        p.drawEllipse(c, cap + 1.3, cap + 1.3);
        p.setPen(Qt::NoPen);
    }

    // The cap: convex and lit from above when raised, sunk and dimmer when
    // pressed.
    const double capR = pressed ? cap - 0.4 : cap;
    QLinearGradient face(c + QPointF(0, -capR), c + QPointF(0, capR));
    if (!pressed) {
        face.setColorAt(0.0, QColor(0x62, 0x63, 0x67));
        face.setColorAt(0.5, QColor(0x33, 0x34, 0x37));
        face.setColorAt(1.0, QColor(0x17, 0x17, 0x19));
    } else {
        face.setColorAt(0.0, QColor(0x0E, 0x0E, 0x10));
        face.setColorAt(0.55, QColor(0x1E, 0x1F, 0x21));
        face.setColorAt(1.0, QColor(0x34, 0x35, 0x38));
    }
    p.setBrush(face);
    p.setPen(QPen(QColor(0x08, 0x08, 0x09), 0.8));
    p.drawEllipse(c, capR, capR);
    if (!pressed) {
        // Sheen on the upper half of the dome.
        QRadialGradient sheen(c + QPointF(-capR * 0.25, -capR * 0.55), capR * 0.8);
        sheen.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 70));
        sheen.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 0));
        p.setPen(Qt::NoPen);
        p.setBrush(sheen);
        p.drawEllipse(c, capR - 1.0, capR - 1.0);
        QLinearGradient edge(c + QPointF(-capR, -capR), c + QPointF(capR, capR));
        edge.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 120));
        edge.setColorAt(0.5, withAlpha(QColor(255, 255, 255), 10));
        edge.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 90));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QBrush(edge), 1.0));
        p.drawEllipse(c, capR - 1.0, capR - 1.0);
    } else {
        // The bezel throws a shadow onto the sunk cap's upper edge.
        QRadialGradient inner(c + QPointF(0, 2.0), capR);
        inner.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 0));
        inner.setColorAt(0.8, withAlpha(QColor(0, 0, 0), 30));
        inner.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 150));
        p.setPen(Qt::NoPen);
        p.setBrush(inner);
        p.drawEllipse(c, capR, capR);
        QLinearGradient edge(c + QPointF(-capR, -capR), c + QPointF(capR, capR));
        edge.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 120));
        edge.setColorAt(0.6, withAlpha(QColor(0, 0, 0), 0));
        edge.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 55));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QBrush(edge), 1.0));
        p.drawEllipse(c, capR - 1.0, capR - 1.0);
    }

    legend(p, pressed ? c + QPointF(1.0, 1.0) : c);
    p.end();

    QPainterPath round;
    round.addEllipse(QPointF(size / 2.0, size / 2.0), size / 2.0, size / 2.0);
    applyKey(img, round);
    return img;
}

QImage renderTestMidiButton(const Fonts& fonts, const QImage& background, bool pressed) {
    const QImage behind = cut(background, QRect(kTestMidiAt, QSize(66, 66)));
    const QFont f = legendFont(fonts, true, 11, 1.6);
    return roundButton(behind, pressed, kLitRed, [&](QPainter& p, QPointF c) {
        const QColor ink = pressed ? QColor(0xFF, 0xD8, 0xD0) : kInk;
        legendAt(p, f, c.x(), c.y() - 1.5, "TEST", ink);
        legendAt(p, f, c.x(), c.y() + 10.5, "MIDI", ink);
    });
}

// A bold arrow pointing right, centred on c, in the colour of a lit lamp.
void drawArrow(QPainter& p, QPointF c, const QColor& colour) {
    const double w = 25.0, h = 22.0, shaft = 9.0, head = 12.0;
    QPainterPath a;
    const double l = c.x() - w / 2.0, r = c.x() + w / 2.0;
    a.moveTo(l, c.y() - shaft / 2.0);
    a.lineTo(r - head, c.y() - shaft / 2.0);
    a.lineTo(r - head, c.y() - h / 2.0);
    a.lineTo(r, c.y());
    a.lineTo(r - head, c.y() + h / 2.0);
    a.lineTo(r - head, c.y() + shaft / 2.0);
    a.lineTo(l, c.y() + shaft / 2.0);
    a.closeSubpath();

    glow(p, c + QPointF(1.0, 0), 20.0, colour, 60);
    p.setPen(Qt::NoPen);
    p.setBrush(withAlpha(QColor(0, 0, 0), 150));
    p.drawPath(a.translated(0.7, 1.2));
    QLinearGradient lit(QPointF(c.x(), c.y() - h / 2.0), QPointF(c.x(), c.y() + h / 2.0));
    lit.setColorAt(0.0, colour.lighter(150));
    lit.setColorAt(0.45, colour);
    lit.setColorAt(1.0, colour.darker(170));
    p.setBrush(lit);
    p.setPen(QPen(colour.darker(260), 0.8, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.drawPath(a);
    // Gloss along the upper edge of the shaft and head.
    p.setPen(QPen(withAlpha(QColor(255, 255, 255), 110), 0.8));
    p.drawLine(QPointF(l + 1.2, c.y() - shaft / 2.0 + 1.0), QPointF(r - head - 0.5, c.y() - shaft / 2.0 + 1.0));
}

QImage renderNextButton(const QImage& background, bool pressed) {
    const QImage behind = cut(background, QRect(kNextAt, QSize(68, 68)));
    const QColor arrow = pressed ? kLitGreen : kLitRed;
    return roundButton(behind, pressed, kLitGreen,
                       [&](QPainter& p, QPointF c) { drawArrow(p, c + QPointF(0.5, 0), arrow); });
}

// ---------------------------------------------------------------- small pictures

QImage renderClose() {
    QImage img = canvas(QSize(16, 16), QImage::Format_RGB32);
    img.fill(kBackdrop);
    QPainter p;
    begin(p, img);
    const QRectF r(0.5, 0.5, 15, 15);
    QLinearGradient face(r.topLeft(), r.bottomLeft());
    face.setColorAt(0.0, QColor(0xEE, 0x4A, 0x3A));
    face.setColorAt(0.5, QColor(0xC4, 0x1A, 0x14));
    face.setColorAt(1.0, QColor(0x86, 0x0C, 0x0A));
    p.setBrush(face);
    p.setPen(QPen(QColor(0x3A, 0x04, 0x04), 1.0));
    p.drawRoundedRect(r, 3.0, 3.0);
    p.setPen(QPen(withAlpha(QColor(255, 255, 255), 90), 1.0));
    p.drawLine(QPointF(3.5, 1.5), QPointF(12.5, 1.5));

    const double a = 4.6, b = 11.4;
    p.setPen(QPen(withAlpha(QColor(0x40, 0, 0), 170), 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(a, a + 0.8), QPointF(b, b + 0.8));
    p.drawLine(QPointF(b, a + 0.8), QPointF(a, b + 0.8));
    p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(a, a), QPointF(b, b));
    p.drawLine(QPointF(b, a), QPointF(a, b));
    p.end();
    return img;
}

// One of the front panel's rings at a small scale: the knob, its twelve LEDs
// and their numbers, clockwise from just left of the top, as the amplifier
// counts them when it shows its revision (the wizard puts its markers on
// these spots). lit is the LED shown on, or -1.
void drawSmallRing(QPainter& p, const Fonts& fonts, QPointF c, double pointer, int lit, uint32_t seed) {
    const double scale = 0.39;
    const double ledRadius = 20.5;  // where the wizard's markers sit
    const double digitRadius = 28.0;
    const QFont digits = legendFont(fonts, true, 8, 0.0);
    const QFont wide = legendFont(fonts, true, 8, -0.4);  // 10 and 11 huddle together

    for (int i = 0; i < 12; ++i) {
        const double angle = -15.0 + 30.0 * i;
        const QPointF led = polar(c, ledRadius, angle);
        p.save();
        p.translate(led);
        p.scale(scale, scale);
        drawLedBezel(p, QPointF(0, 0));
        p.restore();
        if (i == lit) {
            glow(p, led, 6.0, kLitRed, 150);
            QRadialGradient lens(led + QPointF(-0.5, -0.6), 2.3);
            lens.setColorAt(0.0, QColor(0xFF, 0xD8, 0xC8));
            lens.setColorAt(0.45, kLitRed);
            lens.setColorAt(1.0, kLitRed.darker(160));
            p.setPen(Qt::NoPen);
            p.setBrush(lens);
            p.drawEllipse(led, 2.1, 2.1);
        }
        const QFont& f = i >= 10 ? wide : digits;
        const QFontMetricsF m(f);
        const QPointF at = polar(c, digitRadius, angle);
        legendAt(p, f, at.x(), at.y() + m.capHeight() / 2.0, QString::number(i),
                 i == lit ? QColor(0xFF, 0x9C, 0x8C) : kInk);
    }
    p.save();
    p.translate(c);
    p.scale(scale, scale);
    drawKnob(p, QPointF(0, 0), pointer, seed);
    p.restore();
}

// The amplifier's front, for the step that reads the firmware revision off
// the LED rings while buttons 1 and 4 are held.
QImage renderAmpFront(const Fonts& fonts) {
    QImage img = canvas(kAmpFrontSize, QImage::Format_RGB32);
    img.fill(kBackdrop);
    QPainter p;
    begin(p, img);
    const QRectF all(QPointF(0, 0), QSizeF(kAmpFrontSize));
    const double radius = 6.0;
    QPainterPath plate;
    plate.addRoundedRect(all, radius, radius);
    p.setClipPath(plate);
    p.drawImage(0, 0, brushedMetal(kAmpFrontSize.width(), kAmpFrontSize.height(), 0xA3F0A1u));
    p.setClipping(false);

    const QFont caption = legendFont(fonts, true, 9, 0.9);
    legendAt(p, caption, all.width() / 2.0, 11.0, "LEDs show the firmware version");

    // Ring centres under the wizard's markers: 87 and 177 pixels apart.
    const double ringY = 47.3;
    const double ringX[3] = {41.6, 128.6, 218.6};
    const double pointer[3] = {-62.0, 0.0, 48.0};
    const int lit[3] = {-1, -1, -1};  // the user's reading is marked by the wizard
    for (int ring = 0; ring < 3; ++ring)
        drawSmallRing(p, fonts, QPointF(ringX[ring], ringY), pointer[ring], lit[ring],
                      0x9E3779B9u + static_cast<uint32_t>(ring));

    // Preset buttons 1 to 4; the two to hold are lit.
    const double bw = 24.0, bh = 10.0, pitch = 38.0, top = 83.0;
    const QFont numbers = legendFont(fonts, true, 8, 0.0);
    for (int i = 0; i < 4; ++i) {
        const double x = all.width() / 2.0 + (i - 1.5) * pitch;
        const QRectF r(x - bw / 2.0, top, bw, bh);
        const bool held = i == 0 || i == 3;
        if (held) glow(p, r.center(), bw * 0.8, kLitAmber, 70);
        p.save();
        p.translate(r.topLeft());
        p.scale(0.55, 0.55);
        drawButton(p, QRectF(0, 0, bw / 0.55, bh / 0.55));
        p.restore();
        if (held) {
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(withAlpha(kLitAmber, 110), 2.4));
            p.drawRoundedRect(r.adjusted(-2.5, -2.5, 2.5, 2.5), 3.5, 3.5);
            p.setPen(QPen(kLitAmber.lighter(115), 1.0));
            p.drawRoundedRect(r.adjusted(-2.5, -2.5, 2.5, 2.5), 3.5, 3.5);
        }
        legendAt(p, numbers, x, top + bh + 11.0, QString::number(i + 1), held ? kLitAmber : kInk);
    }

    // Folded edge, as on the big panel.
    p.setBrush(Qt::NoBrush);
    QLinearGradient edge(all.topLeft(), QPointF(all.right() * 0.35, all.bottom() * 1.3));
    edge.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 100));
    edge.setColorAt(0.5, withAlpha(QColor(255, 255, 255), 20));
    edge.setColorAt(0.62, withAlpha(QColor(0, 0, 0), 50));
    edge.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 150));
    p.setPen(QPen(QBrush(edge), 1.0));
    p.drawRoundedRect(all.adjusted(1.5, 1.5, -1.5, -1.5), radius - 1.5, radius - 1.5);
    p.setPen(QPen(withAlpha(QColor(0, 0, 0), 170), 1.0));
    p.drawRoundedRect(all.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    p.end();
    return img;
}

}  // namespace

bool writeWindowPictures(const Fonts& fonts, const QString& outDir) {
    const QDir dir(outDir);
    const QImage wizard = renderWizardBackground(fonts);
    const QImage test = renderTestBackground(fonts);
    return save(wizard, dir.filePath("wizard_background.png")) && save(test, dir.filePath("test_background.png")) &&
           save(renderTestMidiButton(fonts, test, false), dir.filePath("testmidi_idle.png")) &&
           save(renderTestMidiButton(fonts, test, true), dir.filePath("testmidi_pressed.png")) &&
           save(renderNextButton(wizard, false), dir.filePath("next_idle.png")) &&
           save(renderNextButton(wizard, true), dir.filePath("next_pressed.png")) &&
           save(renderClose(), dir.filePath("close.png")) && save(renderAmpFront(fonts), dir.filePath("amp_front.png"));
}

}  // namespace art
