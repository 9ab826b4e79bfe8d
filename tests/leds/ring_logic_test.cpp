// Ring order and addressing over plain LED stand-ins.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "leds/ring_logic.h"

namespace {

struct FakeLed {
    std::string name;
    int left, top, tag;
    bool on = true;
    int changes = 0;
    TColor onColor = clRed;
    int Left() const { return left; }
    int Top() const { return top; }
    int Tag() const { return tag; }
    void setTag(int t) { tag = t; }
    void TurnOn(bool b) {
        ++changes;
        on = b;
    }
    void SetOnColor(TColor c) { onColor = c; }
};

// Ring 0 of the main window in position order.
std::vector<FakeLed> ring0() {
    return {{"sLED1", 127, 171, 0},     {"LEDImage1", 105, 159, 0},  {"LEDImage3", 93, 137, 0},
            {"LEDImage4", 92, 112, 0},  {"LEDImage5", 105, 90, 0},   {"LEDImage6", 127, 78, 0},
            {"LEDImage12", 152, 77, 0}, {"LEDImage11", 174, 89, 0},  {"LEDImage10", 187, 111, 0},
            {"LEDImage9", 188, 138, 0}, {"LEDImage8", 175, 160, 0},  {"LEDImage7", 153, 172, 0}};
}

std::vector<std::string> names(const RingOf<FakeLed>& r) {
    std::vector<std::string> out;
    for (int i = 0; i < r.ledCount(); ++i) out.push_back(r.led(i)->name);
    return out;
}

RingOf<FakeLed> build(std::vector<FakeLed>& leds) {
    RingOf<FakeLed> r;
    for (auto& l : leds) r.addLed(&l);
    r.markRightHalf();
    r.sortLeds();
    return r;
}

}  // namespace

TEST(RingOrder, ClockwiseFromLowerLeftWhateverTheInsertionOrder) {
    std::vector<std::string> want;
    for (auto& l : ring0()) want.push_back(l.name);
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        auto leds = ring0();
        std::shuffle(leds.begin(), leds.end(), rng);
        auto r = build(leds);
        ASSERT_EQ(names(r), want) << "round " << round;
        EXPECT_EQ(r.minLeft(), 92);
        EXPECT_EQ(r.maxLeft(), 188);
    }
}

TEST(RingOrder, RightHalfIsMarkedAndTheMiddleBelongsLeft) {
    auto leds = ring0();
    leds.push_back({"onMiddle", 140, 200, 0});  // (92 + 188) / 2
    auto r = build(leds);
    for (const FakeLed& l : leds) {
        const bool right = l.left > 140;
        EXPECT_EQ(l.tag, right ? 0x70000000 : 0) << l.name;
    }
    EXPECT_EQ(r.led(0)->name, "onMiddle");  // lowest of the left half
    // A ring of another tag sorts by tag first.
    EXPECT_LT(RingOf<FakeLed>::compareLeds(&leds[0], &leds[6]), 0);
    FakeLed a{"a", 0, 5, 1}, b{"b", 0, 900, 0};
    EXPECT_GT(RingOf<FakeLed>::compareLeds(&a, &b), 0);
}

TEST(RingAddressing, LightPositionAndTheListError) {
    auto leds = ring0();
    auto r = build(leds);
    r.lightPosition(5);
    r.lightPosition(6);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(r.led(i)->on, i == 6) << i;

    try {
        r.lightPosition(12);
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (12)");
        EXPECT_EQ(e.index(), 12);
    }
    for (int i = 0; i < 12; ++i) EXPECT_FALSE(r.led(i)->on);
    EXPECT_THROW(r.lightPosition(-1), std::out_of_range);

    r.setOnColor(clGreen);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(r.led(i)->onColor, clGreen);
    EXPECT_FALSE(r.addLed(nullptr));
    EXPECT_EQ(r.ledCount(), 12);
}

TEST(RingAddressing, EmptyRingAndTheCursor) {
    RingOf<FakeLed> empty;
    empty.markRightHalf();
    empty.sortLeds();
    FakeLed* out = nullptr;
    EXPECT_EQ(empty.ledCount(), 0);
    EXPECT_FALSE(empty.nextLed(out));
    EXPECT_EQ(out, nullptr);
    empty.allOff();
    EXPECT_THROW(empty.lightPosition(0), EListError);

    auto leds = ring0();
    auto r = build(leds);
    EXPECT_FALSE(r.nextLed(out)) << "building walked the ring; a walk starts with resetCursor";
    r.resetCursor();
    int walked = 0;
    while (r.nextLed(out)) ++walked;
    EXPECT_EQ(walked, 12);
    EXPECT_FALSE(r.nextLed(out));
    r.resetCursor();
    ASSERT_TRUE(r.nextLed(out));
    EXPECT_EQ(out->name, "sLED1");
}
