// kolva-updater-demo: the program with a simulated amplifier in place of the
// system's MIDI devices. Its ports appear in the Midi menu; Midi > Test
// Connection gets an answer from it.
#include <QApplication>
#include <QStandardPaths>
#include <cstring>
#include <string>

#include "app/application.h"
#include "app/kolva_app.h"
#include "platform/midi/virtual_midi.h"
#include "sim/simulated_amp.h"

int main(int argc, char** argv) {
    std::string version = "02.06";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--amp-version") == 0) version = argv[i + 1];

    QApplication a(argc, argv);
    platform::midi::VirtualMidi vm;
    const auto ampIn = vm.addOutput("Kolva Amp (simulated)");
    const auto ampOut = vm.addInput("Kolva Amp (simulated)");
    vm.setWireRate(ampIn, 31250);
    sim::SimulatedAmp amp(vm, ampIn, ampOut, version);

    const std::string exe = QCoreApplication::applicationFilePath().toStdString();
    const std::string userDir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
    return app::runApplication(a, exe, userDir);
}
