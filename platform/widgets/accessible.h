#pragma once
// What screen readers see of the program's own controls: the gauge as a
// progress bar with its percentage, a status bar as the texts of its panels.
// Changes are announced as value changes.

#include <QString>
#include <QVariant>
#include <QRect>
#include <functional>
#include <vector>

class QObject;
class QWidget;
class TStatusBar;

namespace accessibility {

// Registers the program's accessible interfaces with Qt (once).
void install();
// "Version 02.06, File Name: a.syx, File Size: 1234 Bytes": the panels that
// say something, left to right.
QString statusBarText(const TStatusBar& bar);
// Announces a new value of o to assistive technology, when any listens
// (value is asked only then).
void valueChanged(QObject* o, const std::function<QVariant()>& value);

// A part of a picture that reads as one object of its own (a ring of LEDs,
// say): a name, what it shows now, and where it lies in its container.
struct Part {
    QString name;
    std::function<QString()> value;
    QRect rect;
};

// What a screen reader lists inside container: its child widgets that lie
// within it (a control parked outside is left out) and are not left out by
// leaveOut, followed by the parts. Set up before anything asks for the
// container's interface (Qt keeps the first one made); a later call adds parts.
void listChildren(QWidget* container, std::vector<Part> parts = {});
// w is not listed by a container set up with listChildren: a decoration, or
// one of many controls a part stands for.
void leaveOut(QWidget* w);

}  // namespace accessibility
