#pragma once
// The start sequence shared by the program and its demo: title, the three
// windows in order, the event loop; an error that escapes is shown with the
// standard error display and ends the program.

#include <string>

class QApplication;

namespace app {
int runApplication(QApplication& a, const std::string& exePath, const std::string& userConfigDir);
}
