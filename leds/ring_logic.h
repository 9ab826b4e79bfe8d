#pragma once
// One encoder ring of LEDs, addressed by position: 0 at the lower left (about
// seven o'clock), rising clockwise over the top to the lower right. The ring
// finds that order from the LEDs' positions. Written over any LED type with
// Left/Top/Tag/setTag/TurnOn/SetOnColor, so the ordering is tested without a
// window system; RingLed (ringledunit.h) is the ring of TLEDImage controls.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "leds/tcolor.h"

// The list error of the form framework: "List index out of bounds (12)".
class EListError : public std::out_of_range {
public:
    explicit EListError(int index)
        : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")"), index_(index) {}
    int index() const { return index_; }

private:
    int index_;
};

namespace ring {

// Set in the Tag of every LED right of its ring's middle.
inline constexpr int32_t kRightHalf = 0x70000000;
// Start value of the smallest Left: larger than any position on a window.
inline constexpr int32_t kNoLeft = 3453456;

// Negative when a goes first: tag first; then within the left half the lower
// LED, within the right half the higher one. Compared, not subtracted, so
// extreme positions cannot overflow.
inline int compare(int32_t tagA, int32_t topA, int32_t tagB, int32_t topB) {
    if (tagA != tagB) return tagA < tagB ? -1 : 1;
    if (topA == topB) return 0;
    const bool higherFirst = (tagA & kRightHalf) != 0;
    return (topA < topB) == higherFirst ? -1 : 1;
}

}  // namespace ring

template <class Led>
class RingOf {
public:
    // Appends one LED and widens the ring's span of Left; false for no LED.
    bool addLed(Led* led) {
        if (!led) return false;
        if (led->Left() >= maxLeft_) maxLeft_ = led->Left();
        if (led->Left() <= minLeft_) minLeft_ = led->Left();
        leds_.push_back(led);
        return true;
    }

    // Marks the LEDs right of the middle; one exactly on it stays in the left half.
    void markRightHalf() {
        const int32_t mid = static_cast<int32_t>((static_cast<int64_t>(maxLeft_) + minLeft_) / 2);
        resetCursor();
        Led* led = nullptr;
        while (nextLed(led))
            if (led->Left() > mid) led->setTag(led->Tag() | ring::kRightHalf);
    }

    void sortLeds() {
        std::stable_sort(leds_.begin(), leds_.end(),
                         [](const Led* a, const Led* b) { return compareLeds(a, b) < 0; });
    }

    static int compareLeds(const Led* a, const Led* b) { return ring::compare(a->Tag(), a->Top(), b->Tag(), b->Top()); }

    int ledCount() const { return static_cast<int>(leds_.size()); }
    // The LED at a position, or nullptr outside the ring.
    Led* led(int position) const {
        return position >= 0 && position < ledCount() ? leds_[static_cast<size_t>(position)] : nullptr;
    }
    int32_t minLeft() const { return minLeft_; }
    int32_t maxLeft() const { return maxLeft_; }

    // One cursor per ring, shared by every walk: walks must not be nested.
    void resetCursor() { cursor_ = 0; }
    bool nextLed(Led*& out) {
        if (cursor_ < 0 || cursor_ >= ledCount()) return false;
        out = leds_[static_cast<size_t>(cursor_++)];
        return true;
    }

    // Every LED off, then the one at position n on. Throws EListError, with
    // the ring left dark, when n is not a position of the ring.
    void lightPosition(int n) {
        allOff();
        if (n < 0 || n >= ledCount()) throw EListError(n);
        leds_[static_cast<size_t>(n)]->TurnOn(true);
    }

    void allOff() {
        resetCursor();
        Led* led = nullptr;
        while (nextLed(led)) led->TurnOn(false);
    }

    // Each LED shows the colour from its next turn-on.
    void setOnColor(TColor c) {
        resetCursor();
        Led* led = nullptr;
        while (nextLed(led)) led->SetOnColor(c);
    }

private:
    std::vector<Led*> leds_;  // in position order once sorted; the LEDs belong to the window
    int32_t maxLeft_ = 0;
    int32_t minLeft_ = ring::kNoLeft;
    int32_t cursor_ = 0;
};
