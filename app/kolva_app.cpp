#include "app/kolva_app.h"

#include <QApplication>
#include <memory>

#include "app/application.h"
#include "app/quit_signals.h"
#include "app/settings.h"
#include "app/single_instance.h"
#include "platform/dialogs.h"
#include "app/unit1.h"
#include "setup/unit3.h"
#include "setup/unit4.h"

namespace app {

int runApplication(QApplication& a, const std::string& exePath, const std::string& userConfigDir, bool oneCopy) {
    // Not the display name: Qt would append it to every window caption.
    QCoreApplication::setApplicationName(kApplicationTitle);
    // The desktop entry that describes the program's windows.
    QGuiApplication::setDesktopFileName("kolva-updater");
    installFonts();
    SingleInstance only("kolva-updater");
    if (oneCopy) {
        const SingleInstance::Start how = only.start();
        if (how == SingleInstance::Start::Handed) return 0;
        if (how == SingleInstance::Start::Running) {
            platform::messageBox("KolvaUpdater is already running. Close it before you start it again.", "Status",
                                 platform::Buttons::Ok);
            return 0;
        }
    }
    try {
        Form1Options opt;
        opt.iniPath = chooseSettingsPath(exePath, userConfigDir);
        auto form1 = std::make_unique<TForm1>(opt);
        auto form3 = std::make_unique<TForm3>(form1.get());
        auto form4 = std::make_unique<TForm4>(form1.get(), form1->MidiOut1);
        form1->startWizardTimer();
        closeOnQuitSignals(form1.get());
        only.onRaise = [&] {
            // The wizard, when it is up, is where the user was.
            bringToFront(form1.get());
            if (form3->isVisible()) bringToFront(form3.get());
        };
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
