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
const std::string kStillVerifying = std::string(TForm1::kStillVerifying) + " / Status";
const std::string kStillProgramming = std::string(TForm1::kStillProgramming) + " / Status";

class HandshakeTest : public AmpFixture {
protected:
    void SetUp() override {
        AmpFixture::SetUp();
        writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
        start();
        dialogs.onBox = [this](const platform::ShownBox& b) {
            noteBox(b);
            if (b.text == "Now select the MIDI device.") chooseAgain();
            return answer;
        };
    }
    // The user chooses the amplifier again once it has come back. Not back,
    // it cannot be chosen, and the user closes the window: the run would
    // wait for the ports for ever.
    void chooseAgain() {
        choosePorts();
        if (!form->midiOutReady) form->close();
    }
    // Packet messages of 563 bytes: ring 0 steps 15 ms in the packet wait.
    std::vector<uint8_t> load(int packets, std::array<uint8_t, 4> digits = {0, 2, 1, 0}) {
        firmware::PacketImageParams p;
        p.digits = digits;
        p.packetCount = uint32_t(packets);
        p.payloadSize = 526;
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
    const auto sent = vm->sent(ampIn);
    ASSERT_GE(sent.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sent.begin()));
    // Three identity requests confirm the version on the re-opened ports (the
    // amplifier counts only F0 7E 7F 06 01 F7).
    EXPECT_EQ(amp->identityRequests(), 3);
    EXPECT_EQ(sent.size(), image.size() + 3 * 6);
    // The pauses: 200 ms after the header, 600 ms after starting each packet
    // (answered at once here), then 1000 and 5000 ms after the boxes.
    EXPECT_TRUE(comesAfter(ampAt("recv header"), ampAt("recv packet 0"), 200));
    for (int k = 1; k < 8; ++k)
        EXPECT_TRUE(comesAfter(ampAt("recv packet " + std::to_string(k - 1)), ampAt("recv packet " + std::to_string(k)),
                               600))
            << k;
    EXPECT_TRUE(comesAfter(shownAt(kLooksGood), shownAt(kPlugIn), 1000, 0));
    EXPECT_TRUE(comesAfter(shownAt(kPlugIn), shownAt(kSelect), 5000, 0));
}

TEST_F(HandshakeTest, ALateReplyIsNoticedAtTheNextPassOfItsWait) {
    // 663 ms late: the ready wait looks every 10 ms after its 200 ms pause,
    // the packet wait every ring-0 step of 15 ms after its 600 ms pause.
    load(2);
    amp->setFaults({.replyDelayMs = 663});
    choosePorts();
    form->Button2Click();
    EXPECT_EQ(boxes().back(), kConfirmed);
    EXPECT_TRUE(comesAfter(ampAt("recv header"), ampAt("send ready"), 200 + 47 * 10));
    for (const std::string k : {"0", "1"})
        EXPECT_TRUE(comesAfter(ampAt("recv packet " + k), ampAt("send ack " + k), 600 + 5 * 15)) << k;
}

TEST_F(HandshakeTest, RepliesCloseTogetherAndAmongOtherVoicesAreAllSeen) {
    // The last packet's acknowledgement, the verify and the programming come
    // within 150 ms, inside the waits' pauses and sweeps, while another
    // program's inquiries draw identity replies and another device talks,
    // and answers the version check too, after the amplifier.
    const auto image = load(3);
    amp->setTiming({.verifyMs = 50, .programMs = 100, .rebootDelayMs = 10, .rebootMs = 100});
    amp->setFaults({.neighbourVersion = "02.06"});
    platform::TTimer voices;
    int n = 0;
    voices.OnTimer = [&] {
        vm->feed(ampOut, ++n % 2 ? upload::identityReplyBytes("02.06")
                                 : std::vector<uint8_t>{0xF0, 0x00, 0x20, 0x33, 0x01, 0x00, 0x10, 0xF7});
    };
    voices.setInterval(40);
    voices.setEnabled(true);
    choosePorts();
    form->Button2Click();
    EXPECT_EQ(boxes(), (std::vector<std::string>{kLooksGood, kPlugIn, kSelect, kConfirmed}));
    EXPECT_GE(n, 3);
    const auto sent = vm->sent(ampIn);
    ASSERT_GE(sent.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sent.begin()));
}

TEST_F(HandshakeTest, APacketErrorIsCountedAndTheTransferGoesOn) {
    load(4);
    // The amplifier makes good the packet (see the verify stop below).
    amp->setFaults({.packetErrorAt = 1, .recoversLostPacket = true});
    choosePorts();
    QString panel2;
    dialogs.onBox = [this, &panel2](const platform::ShownBox& b) {
        if (b.text == "Now select the MIDI device.") chooseAgain();
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

TEST_F(HandshakeTest, SilenceAtEachStepTimesOutOnTimeAndReleasesThePorts) {
    // The time-out box comes the pause and the time-out after the amplifier's
    // last message, or as much later as the wait takes to look again.
    struct Case {
        const char* name;
        sim::AmpFaults faults;
        const char* status;
        const char* last;  // the amplifier's last message
        uint64_t ms;
        uint64_t within;
        bool deafOnceBack = false;  // silent from the moment the ports are chosen again
    };
    const Case cases[] = {
        {"no ready", {.noReadyReply = true}, "Status -> Waiting for device ready to receive data.", "recv header",
         200 + 6000, 10},
        // The time-out is looked at before the messages that set it are handled.
        {"packet", {.silentAtPacket = 1}, "Status -> Sending packet number 2 of 3", "recv packet 1", 600 + 12000,
         2 * 15},
        // With the whole image out, the amplifier may still be at work: the
        // box says so instead (see the endings below). Looked at after each
        // verify sweep of 780 ms.
        {"verify", {.silentAtVerify = true}, TForm1::kStillWorkingStatus, "send ack 2", 600 + 20000, 780},
        // The verify sweep under way ends first, then programming sweeps of 144 ms.
        {"programming", {.silentAtProgram = true}, TForm1::kStillWorkingStatus, "send verified", 20000, 780 + 144},
        // Looked at every 10 ms.
        {"version", {}, "Status -> Waiting for USB enumeration.", "recv identity-request", 5000, 10, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        load(3);
        amp->setFaults(c.faults);
        choosePorts();
        dialogs.onBox = [&](const platform::ShownBox& b) {
            noteBox(b);
            if (b.text == "Now select the MIDI device.") {
                amp->setSilent(c.deafOnceBack);
                chooseAgain();
            }
            return answer;
        };
        form->Button2Click();
        const std::string box = c.faults.silentAtVerify ? kStillVerifying
                                : c.faults.silentAtProgram ? kStillProgramming
                                                           : kTimeOut;
        EXPECT_EQ(boxes().back(), box);
        EXPECT_EQ(boxes().size(), c.deafOnceBack ? 4u : 1u);
        EXPECT_TRUE(comesAfter(ampAt(c.last), shownAt(box), c.ms, c.within));
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

// Every way a run can end once the last packet is out, against what the
// amplifier then does: the box says what it does, no box asks for a power
// cycle while it verifies or programs, and it ends up with the version the
// run's outcome implies.
TEST_F(HandshakeTest, EachEndingAfterTheLastPacketSaysWhatTheAmpDoes) {
    struct Ending {
        const char* name;
        sim::AmpFaults faults;
        sim::AmpTiming timing;
        bool cancelInLastPacket;
        std::vector<std::string> says;
        TForm1::RunOutcome outcome;
        const char* versionAfter;  // once the amplifier has run on
    };
    const sim::AmpTiming usual;
    const std::string tooLate = std::string(TForm1::kTooLateToCancel) + " / Status";
    const Ending endings[] = {
        {"slow verify", {}, {.verifyMs = 25000}, false, {kStillVerifying}, TForm1::RunOutcome::StillWorking, "02.10"},
        {"slow programming", {}, {.programMs = 25000}, false, {kStillProgramming}, TForm1::RunOutcome::StillWorking,
         "02.10"},
        {"cancel in the last packet", {}, usual, true, {tooLate, kLooksGood, kPlugIn, kSelect, kConfirmed},
         TForm1::RunOutcome::Confirmed, "02.10"},
        {"wrong version", {.versionAfterReboot = "02.07"}, usual, false,
         {kLooksGood, kPlugIn, kSelect, "Fail, code rev is wrong. Power cycle the amp and try again. / Status"},
         TForm1::RunOutcome::WrongVersion, "02.07"},
        // Ports that stay (a DIN interface) and a restart longer than the
        // version wait: programmed, not yet confirmed.
        {"restart late", {.noReboot = true}, {.rebootMs = 9000}, false, {kLooksGood, kPlugIn, kSelect, kTimeOut},
         TForm1::RunOutcome::Unconfirmed, "02.10"},
    };
    const auto ui = std::this_thread::get_id();
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.name);
        load(3);
        amp->setVersion("02.06");
        form->ampVersion = 0;  // no version question
        amp->setFaults(e.faults);
        amp->setTiming(e.timing);
        choosePorts();
        std::vector<std::string> whileAtWork;
        dialogs.onBox = [&](const platform::ShownBox& b) {
            noteBox(b);
            const auto st = amp->state();
            if ((st == sim::AmpState::Verifying || st == sim::AmpState::Programming) &&
                asksForPowerCycleNow(b.text))
                whileAtWork.push_back(b.text);
            if (b.text == "Now select the MIDI device.") chooseAgain();
            return platform::IDOK;
        };
        const int last = amp->packetsReceived() + 3;
        const int hook = clock.addSettleHook([&] {
            if (e.cancelInLastPacket && std::this_thread::get_id() == ui && amp->packetsReceived() == last)
                form->CancelMouseUp();
        });
        form->Button2Click();
        clock.removeSettleHook(hook);
        EXPECT_EQ(boxes(), e.says);
        EXPECT_EQ(form->lastRunOutcome(), e.outcome);
        EXPECT_EQ(whileAtWork, std::vector<std::string>{}) << "a power cycle asked for while the amp was at work";
        for (int t = 0; t < 60000; t += 100) clock.runFor(100);
        EXPECT_EQ(amp->version(), e.versionAfter);
        EXPECT_EQ(amp->state(), sim::AmpState::Idle);
    }
}

TEST_F(HandshakeTest, AVerifyStopKeepsThePatternGoingUntilTheWindowCloses) {
    // The amplifier lost a packet, so its image fails the verify.
    load(2);
    amp->setFaults({.packetErrorAt = 0});
    choosePorts();
    const auto ui = std::this_thread::get_id();
    const uint64_t t0 = clock.nowMs();
    QString said;
    bool warned = true, gauge = true;
    const int hook = clock.addSettleHook([&] {
        if (std::this_thread::get_id() != ui || clock.nowMs() - t0 <= 60000 || !form->isVisible()) return;
        said = form->StatusBar2->panelText(3);
        warned = !form->Label3->isHidden() || form->Timer3.Enabled();
        gauge = form->CGauge1->isVisible();
        form->close();
    });
    form->show();
    form->Button2Click();
    clock.removeSettleHook(hook);
    EXPECT_TRUE(dialogs.shown().empty()) << "a verify stop shows no message box";
    EXPECT_EQ(said, TForm1::kAmpRefused) << "but the window says what happened";
    EXPECT_EQ(form->StatusBar2->shownText(3), TForm1::kAmpRefused) << "all of it, \"Close the program\" too";
    EXPECT_FALSE(warned) << "no programming follows to warn of";
    EXPECT_FALSE(gauge) << "nothing is in progress";
    EXPECT_EQ(form->packetErrors, 1);
    EXPECT_EQ(form->replyCode.load(), 0x7A);
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
