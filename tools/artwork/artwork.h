// Painting helpers shared by the pictures of kolva-artwork, so that every
// window's artwork is made of the same metal, knobs, LEDs and lettering.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <cmath>
#include <cstdint>
#include <random>

namespace art {

// Transparent pictures leave undrawn every pixel of this colour.
const QRgb kKey = qRgb(0xFF, 0x00, 0xFF);
const QColor kInk(0xEC, 0xEC, 0xE6);  // silk-screen legends

constexpr double kPi = 3.14159265358979323846;

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

inline int clampByte(double v) { return v < 0 ? 0 : v > 255 ? 255 : static_cast<int>(std::lround(v)); }

inline QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

// The point at radius from c, degreesFromTop clockwise from twelve o'clock.
inline QPointF polar(QPointF c, double radius, double degreesFromTop) {
    const double a = degreesFromTop * kPi / 180.0;
    return {c.x() + radius * std::sin(a), c.y() - radius * std::cos(a)};
}

struct Fonts {
    QString book;
    QString demi;
};

QString loadFamily(const QString& path);
QFont legendFont(const Fonts& fonts, bool demi, double pixels, double spacing);
// Width of the text as legendAt lays it out.
double legendWidth(const QFont& f, const QString& text);
void legendAt(QPainter& p, const QFont& f, double x, double baseline, const QString& text,
              const QColor& ink = kInk);

// The scale the pictures are drawn at: 1, or 2 for their "@2x" forms. All
// coordinates stay picture coordinates; canvas() and cut() take them.
extern double gScale;
// An image for a picture of that size, at gScale (device pixel ratio set).
QImage canvas(QSize size, QImage::Format format);
// Part of a drawn picture, r in picture coordinates.
QImage cut(const QImage& img, QRect r);

QImage brushedMetal(int width, int height, uint32_t seed);
void drawScrew(QPainter& p, QPointF c, double slotAngle);
// The chrome "KOLVA" with its red bar; returns the area it covers.
QRectF logoBounds(const Fonts& fonts, double pixels = 21, double spacing = 3.2);
void drawLogo(QPainter& p, const Fonts& fonts, QPointF topLeft, double pixels = 21, double spacing = 3.2);
void drawLedBezel(QPainter& p, QPointF c);
void drawKnob(QPainter& p, QPointF c, double pointerAngle, uint32_t seed);
void drawButton(QPainter& p, QRectF r);
void drawTriangle(QPainter& p, QPointF c, double size, bool up, const QColor& ink);

void avoidKey(QImage& img);
void applyKey(QImage& img, const QPainterPath& shape);
// Writes the picture; at 2x under its "@2x" name.
bool save(const QImage& img, const QString& path);

// The pictures of the startup help and MIDI test windows.
bool writeWindowPictures(const Fonts& fonts, const QString& outDir);
// The program's icon, as SVG and as PNGs of the usual sizes.
bool writeIcons(const QString& outDir);

}  // namespace art
