// Cost of one light-show frame on the main window, offscreen under the
// virtual clock so the pauses cost nothing: LED repaints per frame and time
// per frame. With --grab DIR it also writes window pictures of a few frames.
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/unit1.h"
#include "leds/ledimage.h"
#include "platform/clock.h"
#include "platform/dialogs.h"

namespace {

int ledPaints(const TForm1& f) {
    int n = 0;
    for (const RingLed& r : f.rings)
        for (int p = 0; p < r.ledCount(); ++p) n += r.led(p)->paintCount();
    return n;
}

template <class Show>
void measure(const char* name, TForm1& form, int sweeps, Show show) {
    const int frames = sweeps * form.rings[0].ledCount();
    const int leds0 = ledPaints(form);
    const int panel0 = form.Image1->paintCount();
    const auto t0 = std::chrono::steady_clock::now();
    show(sweeps);
    const auto t1 = std::chrono::steady_clock::now();
    const double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
    std::printf("%-8s %5d frames  %6.2f LED repaints/frame  %6.2f panel repaints/frame  %8.1f us/frame\n", name, frames,
                double(ledPaints(form) - leds0) / frames, double(form.Image1->paintCount() - panel0) / frames,
                us / frames);
}

}  // namespace

int main(int argc, char** argv) {
    std::string grabDir;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--grab") == 0) grabDir = argv[i + 1];
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    platform::VirtualClock clock;
    platform::ScriptedDialogs dialogs;
    platform::setClock(&clock);
    platform::setDialogs(&dialogs);
    const auto dir = std::filesystem::temp_directory_path() / "kolva-bench-leds";
    std::filesystem::create_directories(dir);
    {
        TForm1 form(Form1Options{(dir / "kolva.INI").string()});
        form.show();
        clock.processMessages();

        if (!grabDir.empty()) {
            std::filesystem::create_directories(grabDir);
            form.grab().save(QString::fromStdString(grabDir + "/leds-start.png"));
            int frame = 0;
            const int hook = clock.addSettleHook([&] {
                // The hook runs at the pump and again at the pause of each frame.
                if (++frame % 2 == 1 && (frame / 2 == 0 || frame / 2 == 3 || frame / 2 == 7))
                    form.grab().save(QString::fromStdString(grabDir + "/leds-vfy-" + std::to_string(frame / 2) + ".png"));
            });
            form.flashVfyShow(1);
            clock.removeSettleHook(hook);
            form.rings[0].lightPosition(3);
            form.rings[0].led(3)->MakeBright(true);
            form.rings[1].led(6)->SetColor(clYellow);
            form.grab().save(QString::fromStdString(grabDir + "/leds-faces.png"));
        }

        measure("verify", form, 50, [&](int s) { form.flashVfyShow(s); });
        measure("program", form, 50, [&](int s) { form.flashPrgShow(s); });
        std::printf("virtual time: %llu ms in %llu pauses\n", static_cast<unsigned long long>(clock.sleptMs()),
                    static_cast<unsigned long long>(clock.sleepCalls()));
    }
    platform::setDialogs(nullptr);
    platform::setClock(nullptr);
    std::filesystem::remove_all(dir);
    return 0;
}
