// The handshake transfer end to end: every step waits for the simulated
// amplifier, which then verifies, programs, restarts and comes back with the
// new version.
#include <QAction>
#include <fstream>
#include <thread>

#include "firmware/syx_generator.h"
#include "platform/midi/virtual_midi.h"
#include "setup/unit3.h"
#include "sim/simulated_amp.h"
#include "tests/support/amp_fixture.h"
#include "upload/device_messages.h"

using platform::midi::VirtualMidi;

namespace {

constexpr const char* kLooksGood = "Looks good! Unplug the USB cable and power cycle the amp. / Status";
constexpr const char* kPlugIn = "Now plug in the USB cable and wait for the KOLVA to enumerate. / Status";
constexpr const char* kSelect = "Now select the MIDI device. / Status";
constexpr const char* kConfirmed = "Success, new code rev is confirmed. Rock On! / Status";
constexpr const char* kTimeOut = "Error. Device not responding. Power cycle amp and try again. / Status";

class HandshakeTest : public AmpFixture {
protected:
    void SetUp() override {
        AmpFixture::SetUp();
        writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
        start();
        // The user chooses the amplifier again once it has come back.
        dialogs.onBox = [this](const platform::ShownBox& b) {
            if (b.text == "Now select the MIDI device.") choosePorts();
            return answer;
        };
    }
    std::vector<uint8_t> load(int packets, std::array<uint8_t, 4> digits = {0, 2, 1, 0}) {
        firmware::PacketImageParams p;
        p.digits = digits;
        p.packetCount = uint32_t(packets);
        p.payloadSize = 512;
        return AmpFixture::load(firmware::makePacketImage(p));
    }

    int answer = platform::IDOK;
};

TEST_F(HandshakeTest, AWholeUpdateEndsWithTheNewVersionConfirmed) {
    const auto image = load(8);
    choosePorts();
    form->Button2Click();
    EXPECT_EQ(amp->packetsReceived(), 8);
    EXPECT_EQ(amp->rebootCount(), 1);
    EXPECT_EQ(amp->version(), "02.10");
    EXPECT_EQ(boxes(), (std::vector<std::string>{kLooksGood, kPlugIn, kSelect, kConfirmed}));
    EXPECT_EQ(form->StatusBar2->panelText(3), "Status -> Complete.");
    clock.processMessages();  // the reply's window updates, queued by the input thread
    EXPECT_EQ(form->StatusBar2->panelText(1), "Version 02.10");
    EXPECT_EQ(form->ampVersion.load(), form->expectedVersion);
    EXPECT_EQ(form->CGauge1->Progress(), 7);
    EXPECT_TRUE(form->CGauge1->isHidden());
    EXPECT_TRUE(form->Label1->isHidden());
    EXPECT_EQ(static_cast<const void*>(form->imageCursor), static_cast<const void*>(form->imageStart));
    // Three identity requests confirm the version on the re-opened ports.
    const auto sent = vm->sent(ampIn);
    ASSERT_GE(sent.size(), image.size() + 18);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sent.begin()));
    EXPECT_TRUE(std::equal(sent.end() - 6, sent.end(), std::begin(upload::identityRequest)));
}

TEST_F(HandshakeTest, APacketErrorIsCountedAndTheTransferGoesOn) {
    load(4);
    sim::AmpFaults f;
    f.packetErrorAt = 1;
    amp->setFaults(f);
    choosePorts();
    QString panel2;
    dialogs.onBox = [this, &panel2](const platform::ShownBox& b) {
        if (b.text == "Now select the MIDI device.") choosePorts();
        if (panel2.isEmpty()) panel2 = form->StatusBar2->panelText(2);
        return platform::IDOK;
    };
    form->Button2Click();
    EXPECT_EQ(form->packetErrors, 1);
    EXPECT_EQ(amp->packetsReceived(), 4) << "the packet is not sent again";
    EXPECT_EQ(panel2, " ") << "the display is reset before the end-of-transfer box";
    EXPECT_EQ(form->StatusBar2->panelText(2), " ");
    EXPECT_EQ(boxes().back(), kConfirmed);
}

TEST_F(HandshakeTest, SilenceAtEachStepTimesOutAndReleasesThePorts) {
    struct Case {
        const char* name;
        sim::AmpFaults faults;
        const char* status;
    };
    std::vector<Case> cases(3);
    cases[0] = {"no ready", {}, "Status -> Waiting for device ready to receive data."};
    cases[0].faults.noReadyReply = true;
    cases[1] = {"packet", {}, "Status -> Sending packet number 2 of 3"};
    cases[1].faults.silentAtPacket = 1;
    cases[2] = {"verify", {}, "Status -> Waiting for code Verify."};
    cases[2].faults.silentAtVerify = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        load(3);
        amp->setFaults(c.faults);
        choosePorts();
        form->Button2Click();
        EXPECT_EQ(boxes(), std::vector<std::string>{kTimeOut});
        EXPECT_EQ(form->StatusBar2->panelText(3), c.status);
        EXPECT_FALSE(form->midiOutReady);
        EXPECT_FALSE(vm->isOpen(ampIn));
        EXPECT_FALSE(form->Timer3.Enabled());
        EXPECT_TRUE(form->CGauge1->isHidden());
        EXPECT_FALSE(form->uploadRunning());
        amp->setFaults({});
    }
}

TEST_F(HandshakeTest, TheSameOrAnOlderVersionIsAskedAboutFirst) {
    // The amplifier reports 02.06 to an identity request before the run.
    choosePorts();
    form4->Shape1MouseDown(Qt::LeftButton);
    vm->settle();
    clock.processMessages();
    ASSERT_EQ(form->ampVersionString(), "02.06");

    load(2, {0, 2, 0, 6});
    answer = platform::IDCANCEL;
    vm->clearSent(ampIn);
    form->Button2Click();
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "You are trying to load code that is the same as the current revision, Continue?");
    EXPECT_EQ(dialogs.shown()[0].caption, "");
    EXPECT_EQ(dialogs.shown()[0].buttons, platform::Buttons::OkCancel);
    EXPECT_TRUE(vm->sent(ampIn).empty()) << "declined: nothing is sent";

    load(2, {0, 1, 9, 9});
    answer = platform::IDOK;
    form->Button2Click();
    EXPECT_EQ(dialogs.shown()[0].text, "You are trying to load code that is older that the current revision, Continue?");
    EXPECT_EQ(amp->packetsReceived(), 2);
}

TEST_F(HandshakeTest, AWrongVersionAfterTheRestartIsReported) {
    load(2);
    sim::AmpFaults f;
    f.versionAfterReboot = "02.07";
    amp->setFaults(f);
    choosePorts();
    form->Button2Click();
    EXPECT_EQ(boxes().back(), "Fail, code rev is wrong. Power cycle the amp and try again. / Status");
    EXPECT_EQ(form->StatusBar2->panelText(3), "Status -> Error.");
}

TEST_F(HandshakeTest, AVerifyStopKeepsThePatternGoingUntilTheWindowCloses) {
    load(2);
    sim::AmpFaults f;
    f.verifyStop = true;
    amp->setFaults(f);
    choosePorts();
    const auto ui = std::this_thread::get_id();
    const uint64_t t0 = clock.nowMs();
    const int hook = clock.addSettleHook([&] {
        if (std::this_thread::get_id() == ui && clock.nowMs() - t0 > 60000 && form->isVisible()) form->close();
    });
    form->show();
    form->Button2Click();
    clock.removeSettleHook(hook);
    EXPECT_TRUE(dialogs.shown().empty()) << "a verify stop shows no message";
    EXPECT_EQ(form->replyCode.load(), upload::replyVerifyStop);
    EXPECT_GE(clock.nowMs() - t0, 60000u);
    clock.processMessages();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(HandshakeTest, UnderTheWizardTheWizardComesToTheFrontInsteadOfTheBoxes) {
    load(2);
    choosePorts();
    form->wizardActive = true;
    form->Button2Click();
    EXPECT_EQ(boxes(), (std::vector<std::string>{kSelect, kConfirmed}));
    EXPECT_TRUE(form3->isVisible());
}

}  // namespace
