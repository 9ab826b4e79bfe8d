// A whole handshake update by the main window through the system's MIDI
// service (winmm; under Wine, its driver over the ALSA sequencer) to
// kolva-amp-sim on the raw side of a virtual port. scripts/wine-midi-vm.sh
// --update starts the amplifier and names its port in KOLVA_AMP_PORT and the
// file in KOLVA_AMP_FILE; elsewhere this skips.
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/form_fixture.h"

namespace {

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
    ASSERT_TRUE(chooseEntry(form->Out1, port));
    ASSERT_TRUE(chooseEntry(form->In1, port));
    // At "Now select the MIDI device." the user opens the Midi menu (which
    // lists the ports anew) and chooses the amplifier again.
    dialogs.onBox = [&](const platform::ShownBox& b) {
        if (b.text == "Now select the MIDI device.") chooseWhenThere(port);
        return -1;
    };
    EXPECT_TRUE(uploadWithin(std::chrono::seconds(150))) << "the update took longer than 150 s";
    std::vector<std::string> boxes;
    for (const auto& b : dialogs.shown()) boxes.push_back(b.text);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "Success, new code rev is confirmed. Rock On!");
    for (const auto& b : boxes) std::printf("box: %s\n", b.c_str());
}

}  // namespace
