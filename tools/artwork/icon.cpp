// The program's icon: an encoder knob in its ring of LEDs on a tile of the
// panel's dark metal, the ring lit part way round as it is while an update
// runs. Written as SVG (the scalable icon) and rendered from that SVG to the
// PNG sizes desktops look for, so every size is the same drawing:
//
//   kolva-updater.svg         scalable
//   kolva-updater-N.png       N x N, N = 16 22 24 32 48 64 128 256
//
// Below 32 pixels the bezels, knurling and lathe rings would only blur the
// ring into the knob, so the small sizes come from a plainer drawing with
// bigger LEDs.

#include "artwork.h"

#include <QDir>
#include <QFile>
#include <QSvgRenderer>

#include <cstdio>

namespace art {
namespace {

constexpr double kSize = 256.0;
const QPointF kCentre(128.0, 128.0);
constexpr int kLeds = 12;
constexpr int kLit = 8;  // the last of them is the one being written: amber

QString num(double v) { return QString::number(v, 'f', 2); }

QString colour(const QColor& c) { return c.name(QColor::HexRgb); }

// The LED of the ring at index i, which lights clockwise from seven o'clock.
double ledAngle(int i) { return 210.0 + 30.0 * i; }

class Svg {
public:
    void gradientDefs(const QString& defs) { defs_ += defs; }
    void add(const QString& element) { body_ += "  " + element + "\n"; }
    QByteArray text() const {
        return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 256 256\">\n"
                "  <defs>\n" +
                defs_ + "  </defs>\n" + body_ + "</svg>\n")
            .toUtf8();
    }

private:
    QString defs_;
    QString body_;
};

QString stop(double at, const QColor& c, double opacity = 1.0) {
    QString s = QString("<stop offset=\"%1\" stop-color=\"%2\"").arg(num(at), colour(c));
    if (opacity < 1.0) s += QString(" stop-opacity=\"%1\"").arg(num(opacity));
    return s + "/>";
}

QString linear(const QString& id, double x1, double y1, double x2, double y2, const QString& stops) {
    return QString("    <linearGradient id=\"%1\" x1=\"%2\" y1=\"%3\" x2=\"%4\" y2=\"%5\">%6</linearGradient>\n")
        .arg(id, num(x1), num(y1), num(x2), num(y2), stops);
}

// Radial gradients in bounding-box units, lit from (fx, fy).
QString radial(const QString& id, double fx, double fy, const QString& stops) {
    return QString("    <radialGradient id=\"%1\" cx=\"0.5\" cy=\"0.5\" r=\"0.5\" fx=\"%2\" fy=\"%3\">%4</radialGradient>\n")
        .arg(id, num(fx), num(fy), stops);
}

QString circle(QPointF c, double r, const QString& fill, const QString& extra = {}) {
    return QString("<circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"%5/>")
        .arg(num(c.x()), num(c.y()), num(r), fill, extra.isEmpty() ? QString() : " " + extra);
}

QString line(QPointF a, QPointF b, const QString& stroke, double width, double opacity = 1.0) {
    QString s = QString("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" stroke=\"%5\" stroke-width=\"%6\" "
                        "stroke-linecap=\"round\"")
                    .arg(num(a.x()), num(a.y()), num(b.x()), num(b.y()), stroke, num(width));
    if (opacity < 1.0) s += QString(" stroke-opacity=\"%1\"").arg(num(opacity));
    return s + "/>";
}

const QColor kGreen(0x3C, 0xF0, 0x52);
const QColor kAmber(0xFF, 0xB8, 0x30);

QByteArray iconSvg(bool small) {
    Svg svg;
    // The tile: the panel's dark anodised metal, light falling from the top.
    svg.gradientDefs(linear("tile", 0, 0, 0, 1,
                            stop(0, QColor(0x4A, 0x4C, 0x51)) + stop(0.5, QColor(0x2C, 0x2E, 0x31)) +
                                stop(1, QColor(0x17, 0x18, 0x1A))));
    svg.gradientDefs(linear("tileEdge", 0, 0, 0, 1,
                            stop(0, Qt::white, 0.35) + stop(0.3, Qt::white, 0.06) + stop(1, Qt::black, 0.3)));
    const double tileRadius = small ? 36 : 40;
    const QString tileRect = QString("x=\"%1\" y=\"%1\" width=\"%2\" height=\"%2\" rx=\"%3\"");
    svg.add(QString("<rect %1 fill=\"url(#tile)\" stroke=\"#0b0b0c\" stroke-width=\"4\"/>")
                .arg(tileRect.arg(num(18), num(220), num(tileRadius))));
    svg.add(QString("<rect %1 fill=\"none\" stroke=\"url(#tileEdge)\" stroke-width=\"3\"/>")
                .arg(tileRect.arg(num(22.5), num(211), num(tileRadius - 4.5))));
    if (!small) {
        // A few strokes of the brush grain.
        Noise noise(0x4B4F4C56u);
        for (int i = 0; i < 26; ++i) {
            const double y = 30 + noise.unit() * 196;
            const double x = 26 + noise.unit() * 120;
            const double w = 40 + noise.unit() * 80;
            svg.add(line({x, y}, {x + w, y}, noise.unit() < 0.5 ? "#ffffff" : "#000000", 1.2,
                         0.05 + 0.05 * noise.unit()));
        }
    }

    // The ring of LEDs.
    const double ringRadius = small ? 84 : 83;
    svg.gradientDefs(radial("ledOff", 0.35, 0.3, stop(0, QColor(0x5A, 0x56, 0x54)) + stop(0.5, QColor(0x2C, 0x2A, 0x2A)) +
                                                     stop(1, QColor(0x12, 0x11, 0x11))));
    svg.gradientDefs(radial("ledGreen", 0.4, 0.35, stop(0, QColor(0xF0, 0xFF, 0xE8)) + stop(0.35, kGreen) +
                                                       stop(1, QColor(0x0E, 0x6A, 0x18))));
    svg.gradientDefs(radial("ledAmber", 0.4, 0.35, stop(0, QColor(0xFF, 0xF6, 0xE0)) + stop(0.35, kAmber) +
                                                       stop(1, QColor(0x8A, 0x52, 0x08))));
    svg.gradientDefs(radial("glowGreen", 0.5, 0.5, stop(0, kGreen, 0.55) + stop(1, kGreen, 0)));
    svg.gradientDefs(radial("glowAmber", 0.5, 0.5, stop(0, kAmber, 0.7) + stop(1, kAmber, 0)));
    svg.gradientDefs(linear("bezel", 0, 0, 1, 1,
                            stop(0, QColor(0xE4, 0xE5, 0xE8)) + stop(0.45, QColor(0x8C, 0x8E, 0x92)) +
                                stop(1, QColor(0x3A, 0x3B, 0x3E))));
    for (int i = 0; i < kLeds; ++i) {
        const QPointF c = polar(kCentre, ringRadius, ledAngle(i));
        const bool lit = i < kLit;
        const bool writing = i == kLit - 1;
        const QString glow = writing ? "url(#glowAmber)" : "url(#glowGreen)";
        const QString face = !lit ? "url(#ledOff)" : writing ? "url(#ledAmber)" : "url(#ledGreen)";
        if (small) {
            svg.add(circle(c, 20, "#08080a"));
            if (lit) svg.add(circle(c, 25, glow));
            svg.add(circle(c, 17, face));
        } else {
            svg.add(circle(c + QPointF(1.5, 2.2), 15, "#000000", "fill-opacity=\"0.45\""));
            svg.add(circle(c, 13.5, "url(#bezel)", "stroke=\"#121214\" stroke-width=\"1.2\""));
            svg.add(circle(c, 10.5, "#0b0a0a"));
            svg.add(circle(c, 9, face));
            if (lit) svg.add(circle(c, 20, glow));
        }
    }

    // The knob, turned to the LED being written.
    const double pointer = ledAngle(kLit - 1);
    const double skirt = small ? 46 : 54;
    const double cap = small ? 34 : 41;
    svg.gradientDefs(radial("knobShadow", 0.5, 0.5, stop(0, Qt::black, 0.75) + stop(0.8, Qt::black, 0.5) +
                                                        stop(1, Qt::black, 0)));
    svg.gradientDefs(radial("skirt", 0.32, 0.28, stop(0, QColor(0x55, 0x56, 0x5A)) + stop(0.7, QColor(0x22, 0x23, 0x25)) +
                                                     stop(1, QColor(0x0A, 0x0A, 0x0B))));
    svg.gradientDefs(radial("cap", 0.36, 0.3, stop(0, QColor(0xFA, 0xFA, 0xFB)) + stop(0.55, QColor(0xC4, 0xC6, 0xC9)) +
                                                  stop(1, QColor(0x86, 0x89, 0x8D))));
    svg.gradientDefs(linear("capRim", 0, 0, 1, 1,
                            stop(0, Qt::white, 0.9) + stop(0.5, QColor(0xA0, 0xA0, 0xA0), 0.4) +
                                stop(1, QColor(0x1E, 0x1E, 0x1E), 0.85)));
    svg.gradientDefs(linear("skirtRim", 0, 0, 1, 1,
                            stop(0, Qt::white, 0.55) + stop(0.45, Qt::white, 0.08) + stop(1, Qt::black, 0.5)));
    svg.add(circle(kCentre + QPointF(5, 7), skirt + 10, "url(#knobShadow)"));
    svg.add(circle(kCentre, skirt, "url(#skirt)", "stroke=\"#050506\" stroke-width=\"2\""));
    if (!small) {
        // Knurling, lit on the side facing the light.
        for (int i = 0; i < 72; ++i) {
            const double a = 5.0 * i;
            const double light = (std::cos((a + 45.0) * kPi / 180.0) + 1.0) / 2.0;
            svg.add(line(polar(kCentre, cap + 4, a), polar(kCentre, skirt - 2.5, a), "#ffffff", 1.4,
                         0.08 + 0.22 * light));
        }
    }
    svg.add(circle(kCentre, skirt - 2, "none", "stroke=\"url(#skirtRim)\" stroke-width=\"2.5\""));
    svg.add(line(polar(kCentre, cap + 4, pointer), polar(kCentre, skirt - 3, pointer), "#f4f4f0", small ? 9 : 5));
    svg.add(circle(kCentre, cap, "url(#cap)", "stroke=\"#1c1c1e\" stroke-width=\"1.5\""));
    if (!small) {
        // Lathe rings.
        for (int i = 0; 6 + 5 * i < cap - 3; ++i)
            svg.add(circle(kCentre, 6 + 5 * i, "none",
                           QString("stroke=\"%1\" stroke-opacity=\"0.12\" stroke-width=\"1\"")
                               .arg(i % 2 ? "#000000" : "#ffffff")));
    }
    svg.add(circle(kCentre, cap - 1.5, "none", "stroke=\"url(#capRim)\" stroke-width=\"2.5\""));
    // The pointer's groove across the cap reads at sizes where the skirt's
    // line is too short to see.
    svg.add(line(polar(kCentre, cap * 0.35, pointer), polar(kCentre, cap - 6, pointer), "#2a2b2e", small ? 9 : 6));
    return svg.text();
}

bool writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) {
        std::fprintf(stderr, "kolva-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s: %lld bytes\n", qPrintable(path), static_cast<long long>(data.size()));
    return true;
}

bool renderPng(const QByteArray& svg, int size, const QString& path) {
    QSvgRenderer renderer(svg);
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    renderer.render(&p, QRectF(0, 0, size, size));
    p.end();
    if (!renderer.isValid() || !img.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
        std::fprintf(stderr, "kolva-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s: %d x %d\n", qPrintable(path), size, size);
    return true;
}

}  // namespace

bool writeIcons(const QString& outDir) {
    const QDir dir(outDir);
    const QByteArray full = iconSvg(false);
    const QByteArray small = iconSvg(true);
    bool ok = writeFile(dir.filePath("kolva-updater.svg"), full);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        ok = ok && renderPng(size < 32 ? small : full, size, dir.filePath(QString("kolva-updater-%1.png").arg(size)));
    return ok;
}

}  // namespace art
