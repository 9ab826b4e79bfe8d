#include "app/kolva_app.h"

#include <QApplication>
#include <memory>

#include "app/application.h"
#include "app/quit_signals.h"
#include "app/settings.h"
#include "app/unit1.h"
#include "setup/unit3.h"
#include "setup/unit4.h"

namespace app {

int runApplication(QApplication& a, const std::string& exePath, const std::string& userConfigDir) {
    // Not the display name: Qt would append it to every window caption.
    QCoreApplication::setApplicationName(kApplicationTitle);
    // The desktop entry that describes the program's windows.
    QGuiApplication::setDesktopFileName("kolva-updater");
    installFonts();
    try {
        Form1Options opt;
        opt.iniPath = chooseSettingsPath(exePath, userConfigDir);
        auto form1 = std::make_unique<TForm1>(opt);
        auto form3 = std::make_unique<TForm3>(form1.get());
        auto form4 = std::make_unique<TForm4>(form1.get(), form1->MidiOut1);
        form1->startWizardTimer();
        closeOnQuitSignals(form1.get());
        form1->show();
        a.exec();
        form4.reset();
        form3.reset();
        form1.reset();
    } catch (const std::exception& e) {
        showException(e);
    }
    return 0;
}

}  // namespace app
