// kolva-updater-demo: the program with a simulated amplifier in place of the
// system's MIDI devices. Its ports appear in the Midi menu; Midi > Test
// Connection gets an answer from it. --amp-report FILE keeps FILE up to date
// with what the amplifier has seen, for whoever watches from outside.
// --amp SWITCHES... (last) gives the simulated amplifier the faults and
// timings kolva-amp-sim takes, for trying how the program meets them.
#include <QApplication>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/kolva_app.h"
#include "platform/midi/virtual_midi.h"
#include "sim/amp_program.h"
#include "sim/simulated_amp.h"

namespace {

QByteArray report(const sim::SimulatedAmp& amp) {
    QByteArray programs;
    for (uint8_t p : amp.programChanges()) programs += (programs.isEmpty() ? "" : ",") + QByteArray::number(p);
    QByteArray r;
    r += "version=" + QByteArray::fromStdString(amp.version()) + "\n";
    r += "state=" + QByteArray::number(int(amp.state())) + "\n";
    r += "identity_requests=" + QByteArray::number(amp.identityRequests()) + "\n";
    r += "program_changes=" + programs + "\n";
    r += "header=" + QByteArray::number(amp.headerReceived() ? 1 : 0) + "\n";
    r += "packets=" + QByteArray::number(amp.packetsReceived()) + "\n";
    r += "reboots=" + QByteArray::number(amp.rebootCount()) + "\n";
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::string version = "02.06";
    QString reportPath;
    std::optional<sim::AmpOptions> ampOptions;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--amp") == 0) {
            // The transport is ours: the switches are checked as for --seq.
            std::vector<std::string> args{"--seq"};
            args.insert(args.end(), argv + i + 1, argv + argc);
            std::string error;
            ampOptions = sim::parseAmpOptions(args, error);
            if (!ampOptions) {
                std::fprintf(stderr, "kolva-updater-demo: --amp: %s\n", error.c_str());
                return 2;
            }
            version = ampOptions->version;
            break;
        }
        if (i + 1 >= argc) break;
        if (std::strcmp(argv[i], "--amp-version") == 0) version = argv[i + 1];
        if (std::strcmp(argv[i], "--amp-report") == 0) reportPath = QString::fromLocal8Bit(argv[i + 1]);
    }

    QApplication a(argc, argv);
    platform::midi::VirtualMidi vm;
    const auto ampIn = vm.addOutput("Kolva Amp (simulated)");
    const auto ampOut = vm.addInput("Kolva Amp (simulated)");
    vm.setWireRate(ampIn, 31250);
    sim::SimulatedAmp amp(vm, ampIn, ampOut, version);
    if (ampOptions) {
        amp.setFaults(ampOptions->faults);
        amp.setTiming(ampOptions->timing);
    }

    // Rewritten whole when it changes, never seen half written.
    QTimer reporter;
    QByteArray last;
    QObject::connect(&reporter, &QTimer::timeout, [&] {
        const QByteArray now = report(amp);
        if (now == last) return;
        QSaveFile f(reportPath);
        if (f.open(QIODevice::WriteOnly) && f.write(now) == now.size() && f.commit()) last = now;
    });
    if (!reportPath.isEmpty()) reporter.start(50);

    const std::string exe = QCoreApplication::applicationFilePath().toStdString();
    const std::string userDir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
    return app::runApplication(a, exe, userDir);
}
