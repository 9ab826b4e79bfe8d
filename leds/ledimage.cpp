#include "leds/ledimage.h"

#include <array>

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

QImage TLEDImage::sharedFace(LedFace f) {
    if (!faces || f == LedFace::None) return {};
    return faces->image[slot(f)];
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
