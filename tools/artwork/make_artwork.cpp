// kolva-artwork: draws the two pictures of the main window.
//
//   kolva-artwork OUTPUT_DIR [--fonts DIR]
//
// writes OUTPUT_DIR/panel.png (700 x 284, the amplifier's control panel) and
// OUTPUT_DIR/knob.png (66 x 66, the centre knob that becomes the cancel
// button during an upload). The output depends on nothing but this file and
// the two URW Gothic fonts, so the pictures can be remade at any time.
//
// Both pictures are shown with a transparent key: the colour of the
// bottom-left pixel is left undrawn wherever it occurs. That colour is
// magenta here; it fills only the places where the window's grey should show
// (the rounded panel corners, the outside of the round knob), and no other
// pixel is allowed to carry it.
//
// Coordinates below are picture coordinates. The window draws the panel one
// pixel higher than its client area's top edge, so picture y = window y + 1.

#include <QColor>
#include <QConicalGradient>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr int kPanelWidth = 700;
constexpr int kPanelHeight = 284;
constexpr int kKnobSize = 66;
constexpr double kCornerRadius = 11.0;

const QRgb kKey = qRgb(0xFF, 0x00, 0xFF);
const QColor kWindowGrey(0x80, 0x80, 0x80);
const QColor kInk(0xEC, 0xEC, 0xE6);  // silk-screen legends

constexpr double kPi = 3.14159265358979323846;

// Top-left corners (window coordinates) of the 13 x 13 LED controls, twelve
// per ring, in the order the ring lights them: clockwise from seven o'clock.
struct LedSpot {
    int left;
    int top;
};
constexpr LedSpot kLeds[3][12] = {
    {{127, 171}, {105, 159}, {93, 137}, {92, 112}, {105, 90}, {127, 78},
     {152, 77}, {174, 89}, {187, 111}, {188, 138}, {175, 160}, {153, 172}},
    {{333, 172}, {312, 159}, {299, 137}, {299, 112}, {312, 90}, {334, 78},
     {359, 77}, {382, 90}, {394, 112}, {394, 137}, {383, 160}, {360, 172}},
    {{542, 172}, {519, 159}, {507, 137}, {507, 112}, {520, 90}, {541, 78},
     {567, 77}, {589, 90}, {601, 112}, {601, 138}, {590, 159}, {567, 172}},
};

// The cancel knob picture lies at (320, 98) in the window: its centre is the
// middle knob's centre.
const QPoint kKnobPictureTopLeft(320, 98 + 1);
const QPointF kMiddleKnobCentre(kKnobPictureTopLeft.x() + kKnobSize / 2.0, kKnobPictureTopLeft.y() + kKnobSize / 2.0);

QPointF ledCentre(const LedSpot& s) { return {s.left + 6.5, s.top + 6.5 + 1.0}; }

QPointF ringCentre(int ring) {
    if (ring == 1) return kMiddleKnobCentre;
    QPointF sum;
    for (const LedSpot& s : kLeds[ring]) sum += ledCentre(s);
    return sum / 12.0;
}

// Pointer angle of each knob, degrees clockwise from twelve o'clock.
constexpr double kPointerAngle[3] = {-62.0, 0.0, 48.0};
constexpr const char* kRingLegend[3] = {"STOMPBOXES", "AMP", "EFFECTS"};

// Deterministic noise: the engine's raw output is fixed by the standard, the
// distributions of <random> are not, so the conversion is done here.
class Noise {
public:
    explicit Noise(uint32_t seed) : engine_(seed) {}
    double unit() { return static_cast<double>(engine_() >> 8) / 16777216.0; }  // [0, 1)
    double symmetric() { return unit() * 2.0 - 1.0; }                           // [-1, 1)

private:
    std::mt19937 engine_;
};

int clampByte(double v) { return v < 0 ? 0 : v > 255 ? 255 : static_cast<int>(std::lround(v)); }

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

QPointF polar(QPointF c, double radius, double degreesFromTop) {
    const double a = degreesFromTop * kPi / 180.0;
    return {c.x() + radius * std::sin(a), c.y() - radius * std::cos(a)};
}

// ---------------------------------------------------------------- fonts

struct Fonts {
    QString book;
    QString demi;
};

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
void legendAt(QPainter& p, const QFont& f, double x, double baseline, const QString& text,
              const QColor& ink = kInk) {
    const QFontMetricsF m(f);
    const double width = m.horizontalAdvance(text) - f.letterSpacing();
    p.setFont(f);
    p.setPen(withAlpha(QColor(0, 0, 0), 110));
    p.drawText(QPointF(x - width / 2.0 + 0.0, baseline + 1.0), text);
    p.setPen(ink);
    p.drawText(QPointF(x - width / 2.0, baseline), text);
}

// ---------------------------------------------------------------- panel

// Dark anodised aluminium with a horizontal brush grain.
QImage brushedMetal(int width, int height, uint32_t seed) {
    Noise noise(seed);
    const int blur = 48;  // length of a brush stroke, in pixels
    std::vector<double> raw(static_cast<size_t>(width + 2 * blur));
    std::vector<double> prev(static_cast<size_t>(width), 0.0);
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (double& v : raw) v = noise.symmetric();
        // Sparse brighter scratches give the grain its character.
        for (int k = 0; k < 3; ++k) {
            const int at = static_cast<int>(noise.unit() * static_cast<double>(raw.size() - 40));
            const double s = 1.2 + noise.unit() * 1.8;
            for (int i = 0; i < 40; ++i) raw[static_cast<size_t>(at + i)] += s * std::sin(i * kPi / 40.0);
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
    return img;
}

QPainterPath panelOutline() {
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, kPanelWidth, kPanelHeight), kCornerRadius, kCornerRadius);
    return path;
}

// The panel's folded edge: light along the top and left, dark at the bottom
// and right.
void drawPanelEdge(QPainter& p) {
    const QRectF r(0, 0, kPanelWidth, kPanelHeight);
    for (int i = 0; i < 3; ++i) {
        const double inset = 0.5 + i;
        QLinearGradient g(r.topLeft(), QPointF(r.right() * 0.35, r.bottom() * 1.3));
        const int hi = 110 - 35 * i;
        const int lo = 150 - 40 * i;
        g.setColorAt(0.0, withAlpha(QColor(255, 255, 255), hi));
        g.setColorAt(0.5, withAlpha(QColor(255, 255, 255), hi / 4));
        g.setColorAt(0.62, withAlpha(QColor(0, 0, 0), lo / 3));
        g.setColorAt(1.0, withAlpha(QColor(0, 0, 0), lo));
        p.setPen(QPen(QBrush(g), 1.0));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(inset, inset, -inset, -inset), kCornerRadius - inset, kCornerRadius - inset);
    }
    // A thin dark line where the panel meets the cabinet.
    p.setPen(QPen(withAlpha(QColor(0, 0, 0), 160), 1.0));
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius - 0.5, kCornerRadius - 0.5);
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

void drawLogo(QPainter& p, const Fonts& fonts, QPointF topLeft) {
    QFont f = legendFont(fonts, true, 21, 3.2);
    QPainterPath text;
    text.addText(QPointF(0, 0), f, "KOLVA");
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
    const QRectF bar(r.left(), r.bottom() + 3.0, r.width(), 1.6);
    p.setBrush(withAlpha(QColor(0, 0, 0), 130));
    p.drawRect(bar.translated(0.6, 0.8));
    QLinearGradient barInk(bar.topLeft(), bar.topRight());
    barInk.setColorAt(0.0, QColor(0xD0, 0x2A, 0x22));
    barInk.setColorAt(1.0, QColor(0x8A, 0x14, 0x12));
    p.setBrush(barInk);
    p.drawRect(bar);
}

// Each ring sits in a shallow round recess of the panel.
void drawRingWell(QPainter& p, QPointF c) {
    const double r = 63.0;
    QRadialGradient floor(c, r);
    floor.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 60));
    floor.setColorAt(0.8, withAlpha(QColor(0, 0, 0), 40));
    floor.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 75));
    p.setPen(Qt::NoPen);
    p.setBrush(floor);
    p.drawEllipse(c, r, r);

    QLinearGradient edge(c + QPointF(-r, -r), c + QPointF(r, r));
    edge.setColorAt(0.0, withAlpha(QColor(0, 0, 0), 200));
    edge.setColorAt(0.5, withAlpha(QColor(0, 0, 0), 60));
    edge.setColorAt(1.0, withAlpha(QColor(255, 255, 255), 70));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(edge), 1.6));
    p.drawEllipse(c, r - 0.8, r - 0.8);

    QLinearGradient lip(c + QPointF(-r, -r), c + QPointF(r, r));
    lip.setColorAt(0.0, withAlpha(QColor(255, 255, 255), 55));
    lip.setColorAt(0.5, withAlpha(QColor(255, 255, 255), 0));
    lip.setColorAt(1.0, withAlpha(QColor(0, 0, 0), 90));
    p.setPen(QPen(QBrush(lip), 1.0));
    p.drawEllipse(c, r + 0.8, r + 0.8);
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

// A silk-screen legend with a small triangle on the side it points to:
// "▼ DOWN" and "UP ▲".
void arrowLegend(QPainter& p, const QFont& f, double x, double baseline, const QString& word, bool up) {
    const QFontMetricsF m(f);
    const double wordWidth = m.horizontalAdvance(word) - f.letterSpacing();
    const double tri = 7.0;
    const double gap = 4.5;
    const double total = wordWidth + gap + tri;
    const double left = x - total / 2.0;
    const double triY = baseline - m.capHeight() / 2.0;
    if (up) {
        legendAt(p, f, left + wordWidth / 2.0, baseline, word);
        drawTriangle(p, QPointF(left + wordWidth + gap + tri / 2.0, triY), tri, true, kInk);
    } else {
        drawTriangle(p, QPointF(left + tri / 2.0, triY), tri, false, kInk);
        legendAt(p, f, left + tri + gap + wordWidth / 2.0, baseline, word);
    }
}

// Thin silk-screen bracket over a group of buttons with its title in a gap
// in the middle.
void groupBracket(QPainter& p, const QFont& f, double left, double right, double y, const QString& title) {
    const QFontMetricsF m(f);
    const double width = m.horizontalAdvance(title) - f.letterSpacing();
    const double mid = (left + right) / 2.0;
    const double gapL = mid - width / 2.0 - 6.0;
    const double gapR = mid + width / 2.0 + 6.0;
    QPainterPath line;
    line.moveTo(left, y + 5.0);
    line.lineTo(left, y);
    line.lineTo(gapL, y);
    line.moveTo(gapR, y);
    line.lineTo(right, y);
    line.lineTo(right, y + 5.0);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(withAlpha(QColor(0, 0, 0), 110), 1.0));
    p.drawPath(line.translated(0, 1));
    p.setPen(QPen(withAlpha(kInk, 200), 1.0));
    p.drawPath(line);
    legendAt(p, f, mid, y + m.capHeight() / 2.0, title);
}

QImage renderPanel(const Fonts& fonts) {
    QImage img(kPanelWidth, kPanelHeight, QImage::Format_ARGB32_Premultiplied);
    img.fill(kWindowGrey);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);

    const QPainterPath outline = panelOutline();
    p.setClipPath(outline);
    p.drawImage(0, 0, brushedMetal(kPanelWidth, kPanelHeight, 0x4B4F4C56u));

    // Corner screws and the maker's name.
    drawScrew(p, QPointF(14.5, 14.5), 20.0);
    drawScrew(p, QPointF(kPanelWidth - 14.5, 14.5), 65.0);
    drawScrew(p, QPointF(14.5, kPanelHeight - 14.5), 110.0);
    drawScrew(p, QPointF(kPanelWidth - 14.5, kPanelHeight - 14.5), 40.0);
    drawLogo(p, fonts, QPointF(32.0, 9.0));

    const QFont small = legendFont(fonts, false, 9, 1.6);
    {
        // Model line, top right, clear of the warning band in the middle.
        const QFont f = legendFont(fonts, true, 10, 2.0);
        const QFontMetricsF m(f);
        const QString text = "MODELING AMP";
        const double w = m.horizontalAdvance(text) - f.letterSpacing();
        legendAt(p, f, kPanelWidth - 32.0 - w / 2.0, 21.0, text);
    }

    // The three encoder rings.
    const QFont ringFont = legendFont(fonts, true, 12, 2.6);
    for (int ring = 0; ring < 3; ++ring) {
        const QPointF c = ringCentre(ring);
        drawRingWell(p, c);
        legendAt(p, ringFont, c.x(), c.y() - 72.0, kRingLegend[ring]);
    }
    for (int ring = 0; ring < 3; ++ring)
        for (const LedSpot& s : kLeds[ring]) drawLedBezel(p, ledCentre(s));
    for (int ring = 0; ring < 3; ++ring)
        drawKnob(p, ringCentre(ring), kPointerAngle[ring], 0x9E3779B9u + static_cast<uint32_t>(ring));

    // Bank and preset buttons.
    const double buttonW = 44.0, buttonH = 20.0, pitch = 66.0, groupGap = 44.0;
    const double groupWidth = (2 - 1) * pitch + buttonW + groupGap + (4 - 1) * pitch + buttonW;
    const double firstLeft = kPanelWidth / 2.0 - groupWidth / 2.0;
    const double buttonTop = 214.0;
    const double legendBase = 252.0;
    const QFont buttonFont = legendFont(fonts, true, 10, 1.8);
    std::vector<double> centres;
    for (int i = 0; i < 2; ++i) centres.push_back(firstLeft + buttonW / 2.0 + i * pitch);
    const double presetLeft = firstLeft + pitch + buttonW + groupGap;
    for (int i = 0; i < 4; ++i) centres.push_back(presetLeft + buttonW / 2.0 + i * pitch);
    for (double x : centres) drawButton(p, QRectF(x - buttonW / 2.0, buttonTop, buttonW, buttonH));
    arrowLegend(p, buttonFont, centres[0], legendBase, "DOWN", false);
    arrowLegend(p, buttonFont, centres[1], legendBase, "UP", true);
    const char* presets[4] = {"A", "B", "C", "D"};
    for (int i = 0; i < 4; ++i) legendAt(p, buttonFont, centres[static_cast<size_t>(2 + i)], legendBase, presets[i]);
    groupBracket(p, small, centres[0] - buttonW / 2.0, centres[1] + buttonW / 2.0, buttonTop - 11.0, "BANK");
    groupBracket(p, small, centres[2] - buttonW / 2.0, centres[5] + buttonW / 2.0, buttonTop - 11.0, "PRESET");

    drawPanelEdge(p);
    p.end();
    return img.convertToFormat(QImage::Format_RGB32);
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

bool save(const QImage& img, const QString& path) {
    // Plain opaque RGB: the key colour, not an alpha channel, makes the holes.
    const QImage out = img.convertToFormat(QImage::Format_RGB888);
    if (!out.save(path, "PNG")) {
        std::fprintf(stderr, "kolva-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s: %d x %d, %d key pixels\n", qPrintable(path), out.width(), out.height(), countKey(out));
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: kolva-artwork OUTPUT_DIR [--fonts DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QString outDir;
    QString fontDir = QStringLiteral(KOLVA_FONT_DIR);
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--fonts" && i + 1 < args.size()) {
            fontDir = args[++i];
        } else if (args[i].startsWith('-') || !outDir.isEmpty()) {
            return usage();
        } else {
            outDir = args[i];
        }
    }
    if (outDir.isEmpty()) return usage();

    Fonts fonts;
    fonts.book = loadFamily(QDir(fontDir).filePath("URWGothic-Book.otf"));
    fonts.demi = loadFamily(QDir(fontDir).filePath("URWGothic-Demi.otf"));
    if (fonts.book.isEmpty() || fonts.demi.isEmpty()) {
        std::fprintf(stderr, "kolva-artwork: cannot load the URW Gothic fonts from %s\n", qPrintable(fontDir));
        return 1;
    }
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "kolva-artwork: cannot create %s\n", qPrintable(outDir));
        return 1;
    }

    const QImage drawn = renderPanel(fonts);

    QImage panel = drawn;
    applyKey(panel, panelOutline());

    // The cancel knob is cut from the drawn panel, so it matches the middle
    // knob to the pixel; only the round knob and a sliver of its shadow stay.
    QImage knob = drawn.copy(QRect(kKnobPictureTopLeft, QSize(kKnobSize, kKnobSize)));
    QPainterPath round;
    round.addEllipse(QPointF(kKnobSize / 2.0, kKnobSize / 2.0), 32.0, 32.0);
    applyKey(knob, round);

    const bool ok = save(panel, QDir(outDir).filePath("panel.png")) && save(knob, QDir(outDir).filePath("knob.png"));
    return ok ? 0 : 1;
}
