#include "leds/ledimage.h"

#include <QPainter>
#include <array>
#include <cmath>
#include <map>

#include "platform/bitmaps/bitmaps.h"
#include "platform/clock.h"

// The faces live in a static library; naming its initialiser keeps the
// linker from dropping it.
static void registerLedFaces() { Q_INIT_RESOURCE(led_faces); }

namespace {

// Loaded when the first control is made, freed with the last one.
struct Faces {
    std::array<QImage, kLedFaceCount> image;
    std::array<QImage, kLedFaceCount> transparent;  // the same with the silver key cut out
    // Drawn for a scaled screen, by pixel ratio in hundredths: opaque, then transparent.
    std::map<int, std::array<std::array<QImage, kLedFaceCount>, 2>> sharp;
};

Faces* faces = nullptr;
int instanceCount = 0;

// In LedFace order: LedGray, LedRed, LedGreen, LedYellow, LedBrightRed, LedBrightGreen, LedBrightYellow.
constexpr std::array<const char*, kLedFaceCount> kResource = {
    "LED_GRAY", "LED_RED", "LED_GRE", "LED_YEL", "LED_BRIRED", "LED_BRIGRE", "LED_BRIYEL",
};

void loadFaces() {
    registerLedFaces();
    faces = new Faces;
    for (int i = 0; i < kLedFaceCount; ++i) {
        // A face that fails to load stays empty: LEDs showing it show nothing.
        faces->image[i] = platform::LoadBitmapA(kResource[i]);
        faces->transparent[i] = TImage::withTransparentKey(faces->image[i]);
    }
}

int slot(LedFace f) { return static_cast<int>(f) - 1; }

// The faces' two body colours, which the 13-pixel bitmaps dither in a
// checkerboard, in LedFace order.
constexpr std::array<std::array<QRgb, 2>, kLedFaceCount> kBody = {{
    {0xC0C0C0, 0x808080}, {0xFF0000, 0x800000}, {0x00FF00, 0x008000}, {0xFFFF00, 0x808000},
    {0xFF0000, 0xFF0000}, {0x00FF00, 0x00FF00}, {0xFFFF00, 0xFFFF00},
}};

// A face as the bitmaps draw it (a black rim, the body, a white glint at the
// upper left, silver around), painted for a screen of the given pixel ratio:
// the dither becomes its mean colour.
QImage drawFace(int i, double ratio, bool transparent) {
    const int pixels = std::max(13, static_cast<int>(std::lround(13 * ratio)));
    QImage img(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(pixels / 13.0);
    img.fill(transparent ? QColor(Qt::transparent) : QColor(0xC0, 0xC0, 0xC0));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor a(kBody[static_cast<size_t>(i)][0]), b(kBody[static_cast<size_t>(i)][1]);
    p.setPen(QPen(Qt::black, 1.0));
    p.setBrush(QColor((a.red() + b.red()) / 2, (a.green() + b.green()) / 2, (a.blue() + b.blue()) / 2));
    p.drawEllipse(QPointF(6.5, 6.5), 6.0, 6.0);
    p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.6, 3.6, 6.4, 6.4), 100 * 16, 75 * 16);
    return img;
}

}  // namespace

TLEDImage::TLEDImage(QWidget* owner) : TImage(owner) {
    setAutoSize(true);
    if (instanceCount == 0) loadFaces();
    ++instanceCount;
}

TLEDImage::~TLEDImage() {
    if (--instanceCount == 0) {
        delete faces;
        faces = nullptr;
    }
}

int TLEDImage::InstanceCount() { return instanceCount; }

QImage TLEDImage::sharedFace(LedFace f) { return sharedFace(f, 1.0, false); }

QImage TLEDImage::sharedFace(LedFace f, double ratio, bool transparent) {
    if (!faces || f == LedFace::None) return {};
    if (ratio <= 1.0) return transparent ? faces->transparent[slot(f)] : faces->image[slot(f)];
    auto& set = faces->sharp[static_cast<int>(std::lround(ratio * 100))];
    QImage& img = set[transparent ? 1 : 0][slot(f)];
    if (img.isNull()) img = drawFace(slot(f), ratio, transparent);
    return img;
}

QImage TLEDImage::sharpFor(double ratio) {
    return picture().isNull() ? QImage() : sharedFace(state_.face, ratio, Transparent());
}

void TLEDImage::showFace() {
    if (state_.face == LedFace::None || !faces) setPicture(QImage());
    else setPicture(faces->image[slot(state_.face)], faces->transparent[slot(state_.face)]);
    // An empty face leaves the picture empty, and the next request must not be skipped.
    if (picture().isNull()) state_.face = LedFace::None;
}

void TLEDImage::SetColor(TColor c) {
    if (!state_.setColor(c)) return;
    showFace();
    repaintNow();
}

void TLEDImage::SetOnColor(TColor c) { state_.setOnColor(c); }
void TLEDImage::SetOffColor(TColor c) { state_.setOffColor(c); }

void TLEDImage::TurnOn(bool on) {
    if (!state_.turnOn(on, platform::GetTickCount())) return;
    showFace();
    repaintNow();
}

void TLEDImage::MakeBright(bool bright) {
    if (state_.makeBright(bright)) showFace();
    repaintNow();
}

bool TLEDImage::ShouldExtinguish() {
    if (!state_.expired(platform::GetTickCount())) return false;
    TurnOn(false);
    return true;
}
