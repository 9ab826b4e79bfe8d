#pragma once
// The start sequence shared by the program and its demo: title, the three
// windows in order, the event loop; an error that escapes is shown with the
// standard error display and ends the program.

#include <string>

class QApplication;

namespace app {
// oneCopy: a second start of the program brings the first one's window to
// the front and ends (the demo, with an amplifier of its own, may run twice).
int runApplication(QApplication& a, const std::string& exePath, const std::string& userConfigDir,
                   bool oneCopy = false);
}
