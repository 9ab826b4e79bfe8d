#pragma once
// The state rules of one LED indicator, apart from the widget that draws it:
// which face it shows and which requests change that. Plain C++.

#include <cstdint>

#include "leds/tcolor.h"

// The seven shared faces, in the order they are loaded; None is an empty picture.
enum class LedFace : uint8_t { None, Gray, Red, Green, Yellow, BrightRed, BrightGreen, BrightYellow };
inline constexpr int kLedFaceCount = 7;

// The four colours an LED can show; every other value is ignored.
constexpr bool isLedColor(TColor c) { return c == clRed || c == clGreen || c == clYellow || c == clGray; }

// Normal (checkerboard) and bright (solid) face of a colour; gray has no bright face.
LedFace normalFace(TColor c);
LedFace brightFace(TColor c);

struct LedState {
    TColor color = clGray;  // the colour whose face is shown, or was last
    bool on = false;
    TColor onColor = clRed;
    TColor offColor = clGray;
    int32_t turnOnTick = 0;
    int32_t extinguishTimeout = 0;
    bool bright = false;
    LedFace face = LedFace::None;  // what the picture holds

    // Each of these returns true when the picture must change and be repainted.
    bool setColor(TColor c);
    bool turnOn(bool lit, uint32_t now);
    // The picture changes only for a coloured face; the caller repaints anyway.
    bool makeBright(bool b);

    void setOnColor(TColor c) {
        if (isLedColor(c)) onColor = c;
    }
    void setOffColor(TColor c) {
        if (isLedColor(c)) offColor = c;
    }
    // Whether the LED has been on for longer than its time-out; the tick
    // difference is unsigned so it stays right across the counter's wrap.
    bool expired(uint32_t now) const {
        const uint32_t elapsed = now - static_cast<uint32_t>(turnOnTick);
        return static_cast<int64_t>(elapsed) > static_cast<int64_t>(extinguishTimeout);
    }
};
