#pragma once
// What screen readers see of the program's own controls: the gauge as a
// progress bar with its percentage, a status bar as the texts of its panels.
// Changes are announced as value changes.

#include <QString>
#include <QVariant>
#include <functional>

class QObject;
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

}  // namespace accessibility
