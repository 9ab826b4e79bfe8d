#include "leds/ringledunit.h"

#include <QStringList>
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

namespace {

QString colourName(TColor c) {
    switch (c) {
        case clRed: return "red";
        case clGreen: return "green";
        case clYellow: return "yellow";
        default: return "grey";
    }
}

}  // namespace

QString RingLed::text() const {
    QStringList lit;
    TColor colour = clGray;
    for (int p = 0; p < ledCount(); ++p)
        if (led(p)->LEDOn()) {
            lit << QString::number(p + 1);
            colour = led(p)->Color();
        }
    if (lit.isEmpty()) return "off";
    const QString which = lit.size() == 1 ? "LED " + lit[0]
                                          : "LEDs " + QStringList(lit.mid(0, lit.size() - 1)).join(", ") + " and " + lit.back();
    return QString("%1 of %2 lit, %3").arg(which).arg(ledCount()).arg(colourName(colour));
}

QRect RingLed::area() const {
    QRect r;
    for (int p = 0; p < ledCount(); ++p) r |= led(p)->geometry();
    return r;
}
