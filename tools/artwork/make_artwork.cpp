// kolva-artwork: draws the program's pictures.
//
//   kolva-artwork OUTPUT_DIR [--fonts DIR] [--icons DIR]
//
// Every picture is drawn twice: at 1x and, as name@2x.png, at 2x for scaled
// screens. This file draws the two pictures of the main window: OUTPUT_DIR/panel.png
// (700 x 284, the amplifier's control panel) and OUTPUT_DIR/knob.png (66 x 66,
// the centre knob that becomes the cancel button during an upload); the
// startup help and MIDI test windows' pictures come from windows.cpp, the
// program's icon (written to the --icons folder) from icon.cpp. The
// output depends on nothing but these files and the two URW Gothic fonts, so
// the pictures can be remade at any time.
//
// Transparent pictures are shown with a key: the colour of the bottom-left
// pixel is left undrawn wherever it occurs. That colour is magenta here; it
// fills only the places where the window behind should show (the rounded
// panel corners, the outside of the round knob), and no other pixel is
// allowed to carry it.
//
// Coordinates below are picture coordinates. The window draws the panel one
// pixel higher than its client area's top edge, so picture y = window y + 1.

#include "artwork.h"

#include <QDir>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QRadialGradient>
#include <QStringList>

#include <cstdio>
#include <vector>

using namespace art;

namespace {

constexpr int kPanelWidth = 700;
constexpr int kPanelHeight = 284;
constexpr int kKnobSize = 66;
constexpr double kCornerRadius = 11.0;

const QColor kWindowGrey(0x80, 0x80, 0x80);

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
// ---------------------------------------------------------------- panel

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
    QImage img = canvas(QSize(kPanelWidth, kPanelHeight), QImage::Format_ARGB32_Premultiplied);
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


int usage() {
    std::fprintf(stderr, "usage: kolva-artwork OUTPUT_DIR [--fonts DIR] [--icons DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QString outDir;
    QString iconDir;
    QString fontDir = QStringLiteral(KOLVA_FONT_DIR);
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--fonts" && i + 1 < args.size()) {
            fontDir = args[++i];
        } else if (args[i] == "--icons" && i + 1 < args.size()) {
            iconDir = args[++i];
        } else if (args[i].startsWith('-') || !outDir.isEmpty()) {
            return usage();
        } else {
            outDir = args[i];
        }
    }
    if (outDir.isEmpty()) return usage();

    art::Fonts fonts;
    fonts.book = loadFamily(QDir(fontDir).filePath("URWGothic-Book.otf"));
    fonts.demi = loadFamily(QDir(fontDir).filePath("URWGothic-Demi.otf"));
    if (fonts.book.isEmpty() || fonts.demi.isEmpty()) {
        std::fprintf(stderr, "kolva-artwork: cannot load the URW Gothic fonts from %s\n", qPrintable(fontDir));
        return 1;
    }
    for (const QString& dir : {outDir, iconDir}) {
        if (!dir.isEmpty() && !QDir().mkpath(dir)) {
            std::fprintf(stderr, "kolva-artwork: cannot create %s\n", qPrintable(dir));
            return 1;
        }
    }

    // Every picture at 1x and at 2x, for scaled screens.
    for (const double scale : {1.0, 2.0}) {
        gScale = scale;
        const QImage drawn = renderPanel(fonts);

        QImage panel = drawn;
        applyKey(panel, panelOutline());

        // The cancel knob is cut from the drawn panel, so it matches the middle
        // knob to the pixel; only the round knob and a sliver of its shadow stay.
        QImage knob = cut(drawn, QRect(kKnobPictureTopLeft, QSize(kKnobSize, kKnobSize)));
        QPainterPath round;
        round.addEllipse(QPointF(kKnobSize / 2.0, kKnobSize / 2.0), 32.0, 32.0);
        applyKey(knob, round);

        if (!save(panel, QDir(outDir).filePath("panel.png")) || !save(knob, QDir(outDir).filePath("knob.png")) ||
            !writeWindowPictures(fonts, outDir))
            return 1;
    }
    gScale = 1.0;
    return iconDir.isEmpty() || writeIcons(iconDir) ? 0 : 1;
}
