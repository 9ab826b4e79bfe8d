#pragma once
// SIGTERM, SIGINT and SIGHUP close the main window as its close box would,
// so that a session ending, a kill or Ctrl+C in a terminal still ends a run
// cleanly and saves the settings.

class QWidget;

namespace app {

void closeOnQuitSignals(QWidget* window);

}  // namespace app
