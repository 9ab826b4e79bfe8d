// A whole handshake update by the main window through the system's MIDI
// service (winmm; under Wine, its driver over the ALSA sequencer) to
// kolva-amp-sim on the raw side of a virtual port. scripts/wine-midi-vm.sh
// --update starts the amplifier and names its port in KOLVA_AMP_PORT and the
// file in KOLVA_AMP_FILE; elsewhere this skips.
#include <QAction>
#include <QMenu>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/form_fixture.h"

namespace {

bool choose(QMenu* menu, const std::string& name) {
    for (QAction* a : menu->actions())
        if (a->text().toStdString() == name) {
            a->trigger();
            return true;
        }
    return false;
}

class WinmmUpdateTest : public FormFixture {};

TEST_F(WinmmUpdateTest, HandshakeUpdateIsConfirmed) {
    const char* port = std::getenv("KOLVA_AMP_PORT");
    const char* file = std::getenv("KOLVA_AMP_FILE");
    if (!port || !file) GTEST_SKIP() << "no amplifier named; scripts/wine-midi-vm.sh --update runs this";
    platform::setClock(nullptr);  // the amplifier answers in real time
    writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
    start();
    form->uploadMode = form->ReadFile(file);
    ASSERT_EQ(form->uploadMode, 2);
    ASSERT_TRUE(choose(form->Out1, port));
    ASSERT_TRUE(choose(form->In1, port));
    // At "Now select the MIDI device." the user opens the Midi menu (which
    // lists the ports anew) and chooses the amplifier again.
    dialogs.onBox = [&](const platform::ShownBox& b) {
        if (b.text == "Now select the MIDI device.") {
            auto* t = new QTimer(form.get());
            QObject::connect(t, &QTimer::timeout, [this, t, port] {
                emit form->Midi1->aboutToShow();
                if (choose(form->Out1, port) && choose(form->In1, port)) t->deleteLater();
            });
            t->start(200);
        }
        return -1;
    };
    bool late = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        late = true;
        form->close();
    });
    guard.start(std::chrono::seconds(150));
    form->Button2Click();
    EXPECT_FALSE(late) << "the update took longer than 150 s";
    std::vector<std::string> boxes;
    for (const auto& b : dialogs.shown()) boxes.push_back(b.text);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "Success, new code rev is confirmed. Rock On!");
    for (const auto& b : boxes) std::printf("box: %s\n", b.c_str());
}

}  // namespace
