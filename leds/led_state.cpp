#include "leds/led_state.h"

LedFace normalFace(TColor c) {
    switch (c) {
        case clRed: return LedFace::Red;
        case clGreen: return LedFace::Green;
        case clYellow: return LedFace::Yellow;
        case clGray: return LedFace::Gray;
        default: return LedFace::None;
    }
}

LedFace brightFace(TColor c) {
    switch (c) {
        case clRed: return LedFace::BrightRed;
        case clGreen: return LedFace::BrightGreen;
        case clYellow: return LedFace::BrightYellow;
        default: return LedFace::None;
    }
}

bool LedState::setColor(TColor c) {
    if (!isLedColor(c)) return false;
    // Asking again for the face already shown costs nothing: the rings turn
    // every LED off on every frame of a show.
    if (c == color && face != LedFace::None) return false;
    color = c;
    face = normalFace(c);
    return true;
}

bool LedState::turnOn(bool lit, uint32_t now) {
    if (lit) turnOnTick = static_cast<int32_t>(now);
    on = lit;
    return setColor(lit ? onColor : offColor);
}

bool LedState::makeBright(bool b) {
    bright = b;
    if (brightFace(color) == LedFace::None) return false;  // gray: the picture stays
    face = b ? brightFace(color) : normalFace(color);
    return true;
}
