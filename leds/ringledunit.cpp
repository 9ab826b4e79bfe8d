#include "leds/ringledunit.h"

#include <QWidget>
#include <cstring>

void RingLed::collectLeds(QWidget* parent, int tag) {
    if (parent) {
        for (QObject* child : parent->children()) {
            // By class name, so that controls derived from the LED do not count.
            if (std::strcmp(child->metaObject()->className(), "TLEDImage") != 0) continue;
            auto* led = qobject_cast<TLEDImage*>(child);
            if (led && led->Tag() == tag) addLed(led);
        }
    }
    markRightHalf();
    sortLeds();
}
