// The LED's state rules without a widget: which requests change the face.
#include <gtest/gtest.h>

#include "leds/led_state.h"

TEST(LedState, ColourChangesAndTheShortcut) {
    LedState s;
    EXPECT_EQ(s.face, LedFace::None);
    // Gray is already the colour, but an empty picture must still get its face.
    EXPECT_TRUE(s.setColor(clGray));
    EXPECT_EQ(s.face, LedFace::Gray);
    EXPECT_FALSE(s.setColor(clGray));
    EXPECT_TRUE(s.setColor(clRed));
    EXPECT_EQ(s.face, LedFace::Red);
    EXPECT_FALSE(s.setColor(0x00800000));  // navy: not an LED colour
    EXPECT_EQ(s.color, clRed);
    EXPECT_TRUE(s.setColor(clYellow));
    EXPECT_EQ(s.face, LedFace::Yellow);
}

TEST(LedState, OnAndOffColoursApplyAtTheNextTurnOn) {
    LedState s;
    s.setOnColor(0x00800000);
    s.setOffColor(0x12345678);
    EXPECT_EQ(s.onColor, clRed);
    EXPECT_EQ(s.offColor, clGray);

    EXPECT_TRUE(s.turnOn(true, 500));
    EXPECT_TRUE(s.on);
    EXPECT_EQ(s.turnOnTick, 500);
    EXPECT_EQ(s.face, LedFace::Red);
    s.setOnColor(clGreen);
    EXPECT_EQ(s.face, LedFace::Red);
    EXPECT_TRUE(s.turnOn(true, 600));
    EXPECT_EQ(s.face, LedFace::Green);

    // Turning on again in the same colour renews the time but repaints nothing.
    EXPECT_FALSE(s.turnOn(true, 700));
    EXPECT_EQ(s.turnOnTick, 700);
    EXPECT_TRUE(s.turnOn(false, 800));
    EXPECT_EQ(s.turnOnTick, 700);
    EXPECT_FALSE(s.turnOn(false, 900));
}

TEST(LedState, BrightFaces) {
    LedState s;
    s.setColor(clGray);
    EXPECT_FALSE(s.makeBright(true));  // gray has no bright face
    EXPECT_TRUE(s.bright);
    EXPECT_EQ(s.face, LedFace::Gray);

    s.turnOn(true, 0);
    EXPECT_EQ(s.face, LedFace::Red);  // a colour change shows the normal face
    EXPECT_TRUE(s.makeBright(true));
    EXPECT_EQ(s.face, LedFace::BrightRed);
    s.turnOn(false, 0);
    s.turnOn(true, 0);
    EXPECT_EQ(s.face, LedFace::Red);
    EXPECT_TRUE(s.bright);
    EXPECT_TRUE(s.makeBright(false));
    EXPECT_EQ(s.face, LedFace::Red);
    s.setColor(clGreen);
    s.makeBright(true);
    EXPECT_EQ(s.face, LedFace::BrightGreen);
}

TEST(LedState, ExpiryAcrossTheTickWrap) {
    LedState s;
    s.extinguishTimeout = 50;
    s.turnOn(true, 0xFFFFFFF0u);
    EXPECT_FALSE(s.expired(0xFFFFFFF0u + 10));
    EXPECT_FALSE(s.expired(0xFFFFFFF0u + 50));
    EXPECT_TRUE(s.expired(0xFFFFFFF0u + 60));  // past the wrap: 0x2C
    s.extinguishTimeout = 0;
    EXPECT_FALSE(s.expired(0xFFFFFFF0u));
    EXPECT_TRUE(s.expired(0xFFFFFFF1u));
    s.extinguishTimeout = -5;  // a negative time-out is always past
    EXPECT_TRUE(s.expired(0xFFFFFFF0u));
}
