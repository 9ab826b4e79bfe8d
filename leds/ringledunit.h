#pragma once
// Unit Ringledunit: a ring of the main window's LED controls.

#include "leds/ledimage.h"
#include "leds/ring_logic.h"

#include <QRect>
#include <QString>

class QWidget;

class RingLed : public RingOf<TLEDImage> {
public:
    // Adds the parent's direct children of class TLEDImage (exactly, not a
    // subclass) whose Tag is tag, marks the right half and sorts the ring.
    // The marking changes the right half's Tags, so a ring is collected once.
    void collectLeds(QWidget* parent, int tag);

    // What the ring shows, as a screen reader says it: "off", "LED 4 of 12
    // lit, red", "LEDs 1 and 4 of 12 lit, green" (positions counted from 1).
    QString text() const;
    // The area its LEDs cover, in their parent's coordinates.
    QRect area() const;
};
