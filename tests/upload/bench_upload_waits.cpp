// Processor time of the upload's waits on a real display and the real clock:
// the single-message transfer while its image goes out at the DIN pace, the
// wait for the user to choose the devices after the restart, and the wait
// for the version confirmation (here never answered, so it lasts its whole
// time-out). Prints each wait's length and the share of one core used by the
// window's thread and by the whole program meanwhile.
//   kolva-bench-upload-waits [--single-bytes N]
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/unit1.h"
#include "firmware/syx_generator.h"
#include "platform/dialogs.h"
#include "platform/midi/virtual_midi.h"
#include "sim/simulated_amp.h"

namespace {

clockid_t uiClock;

struct Sample {
    double wall = 0, ui = 0, all = 0;  // seconds
    long uiWakeups = 0;                // the window thread's voluntary switches
};

double seconds(const timespec& t) { return double(t.tv_sec) + double(t.tv_nsec) / 1e9; }

std::string uiStatus;  // /proc/self/task/TID/status of the window thread

Sample sample() {
    Sample s;
    std::ifstream status(uiStatus);
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) s.uiWakeups = std::stol(line.substr(24));
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    s.wall = seconds(t);
    clock_gettime(uiClock, &t);
    s.ui = seconds(t);
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    s.all = double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    return s;
}

void report(const char* name, const Sample& a, const Sample& b) {
    const double wall = b.wall - a.wall;
    std::printf("%-28s %6.2f s   window thread %5.1f %% of a core, %4.0f wakeups/s   whole program %5.1f %%\n",
                name, wall, 100.0 * (b.ui - a.ui) / wall, double(b.uiWakeups - a.uiWakeups) / wall,
                100.0 * (b.all - a.all) / wall);
    std::fflush(stdout);
}

std::string save(const std::filesystem::path& dir, const std::string& name, const std::vector<uint8_t>& image) {
    const auto path = (dir / name).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    return path;
}

void choose(QMenu* menu, const char* name) {
    for (QAction* a : menu->actions())
        if (a->text() == name) a->trigger();
}

}  // namespace

int main(int argc, char** argv) {
    size_t singleBytes = 16000;  // about five seconds on the wire
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--single-bytes") == 0) singleBytes = size_t(std::stoul(argv[i + 1]));
    QApplication app(argc, argv);
    pthread_getcpuclockid(pthread_self(), &uiClock);
    uiStatus = "/proc/self/task/" + std::to_string(::gettid()) + "/status";
    platform::ScriptedDialogs dialogs;
    platform::setDialogs(&dialogs);
    const auto dir = std::filesystem::temp_directory_path() / ("kolva-bench-waits-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);

    platform::midi::VirtualMidi vm;
    const auto ampIn = vm.addOutput("Kolva Amp MIDI In");
    const auto ampOut = vm.addInput("Kolva Amp MIDI Out");
    vm.addOutput("Elsewhere");  // a port that leads nowhere
    vm.setWireRate(ampIn, 31250);
    sim::SimulatedAmp amp(vm, ampIn, ampOut, "02.06");
    {
        TForm1 form(Form1Options{(dir / "kolva.INI").string()});
        form.show();
        app.processEvents();
        choose(form.Out1, "Kolva Amp MIDI In");

        // The single-message transfer, from the start of the run until its
        // sender is done.
        firmware::SingleImageParams sp;
        sp.totalSize = singleBytes;
        form.uploadMode = form.ReadFile(save(dir, "single.syx", firmware::makeSingleImage(sp)).c_str());
        std::atomic<bool> running{true};
        Sample s0, s1;
        std::thread watch([&] {
            s0 = sample();
            while (running && !form.senderDone.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            s1 = sample();
        });
        while (s0.wall == 0) std::this_thread::yield();
        form.senderDone = false;
        form.Button2Click();
        running = false;
        watch.join();
        report("single-message transfer", s0, s1);

        // A handshake update; once the amplifier has restarted the user
        // takes three seconds to choose the devices, and chooses an output
        // that does not reach the amplifier.
        firmware::PacketImageParams pp;
        pp.digits = {0, 2, 1, 0};
        pp.packetCount = 2;
        pp.payloadSize = 64;
        form.uploadMode = form.ReadFile(save(dir, "packets.syx", firmware::makePacketImage(pp)).c_str());
        // The amplifier restarts after the single-message image; its ports
        // come back under new entries.
        for (int i = 0; i < 300 && !(amp.rebootCount() == 1 && amp.state() == sim::AmpState::Idle); ++i) {
            app.processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        form.populateMidiSelect();
        choose(form.Out1, "Kolva Amp MIDI In");
        choose(form.In1, "Kolva Amp MIDI Out");
        Sample w0, w1, w2;
        dialogs.onBox = [&](const platform::ShownBox& b) {
            if (b.text == "Now select the MIDI device.") {
                w0 = sample();
                QTimer::singleShot(3000, &form, [&] {
                    w1 = sample();
                    choose(form.Out1, "Elsewhere");
                    choose(form.In1, "Kolva Amp MIDI Out");
                });
            }
            if (b.text.rfind("Error. Device not responding", 0) == 0) w2 = sample();
            return platform::IDOK;
        };
        form.Button2Click();
        if (w0.wall > 0 && w1.wall > 0) report("waiting for the devices", w0, w1);
        if (w1.wall > 0 && w2.wall > 0) report("version confirmation", w1, w2);
        else std::printf("the version confirmation did not time out as it should\n");
    }
    platform::setDialogs(nullptr);
    std::filesystem::remove_all(dir);
    return 0;
}
