#pragma once
// Unit Ringledunit: a ring of the main window's LED controls.

#include "leds/ledimage.h"
#include "leds/ring_logic.h"

class QWidget;

class RingLed : public RingOf<TLEDImage> {
public:
    // Adds the parent's direct children of class TLEDImage (exactly, not a
    // subclass) whose Tag is tag, marks the right half and sorts the ring.
    // The marking changes the right half's Tags, so a ring is collected once.
    void collectLeds(QWidget* parent, int tag);
};
