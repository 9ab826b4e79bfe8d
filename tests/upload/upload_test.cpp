// Run > Upload Code end to end: the main window, the virtual MIDI driver and
// the simulated amplifier, under the virtual clock with scripted dialogs.
#include <QAction>
#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <thread>

#include "firmware/syx_generator.h"
#include "platform/dialogs.h"
#include "midi/midi_out.h"
#include "platform/midi/virtual_midi.h"
#include "setup/unit4.h"
#include "sim/simulated_amp.h"
#include "tests/support/amp_fixture.h"

using platform::midi::VirtualMidi;

namespace {

class UploadTest : public AmpFixture {
protected:
    UploadTest() : AmpFixture("01.50") {}
    void SetUp() override {
        AmpFixture::SetUp();
        writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
        start();
        ui = std::this_thread::get_id();
    }
    // A sender sees its block out within microseconds, but the virtual clock
    // does not wait for it: the window could sweep on for seconds of virtual
    // time meanwhile. Here the window's clock waits for the sender of each
    // packet the amplifier has taken, as a real one would not need to.
    int senderKeepsUp() {
        return clock.addSettleHook([this, taken = 0]() mutable {
            if (std::this_thread::get_id() != ui || amp->packetsReceived() == taken) return;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!form->senderDone.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            taken = amp->packetsReceived();
        });
    }
    bool ringsDark() const {
        for (const RingLed& r : form->rings)
            for (int p = 0; p < r.ledCount(); ++p)
                if (r.led(p)->LEDOn()) return false;
        return true;
    }

    std::thread::id ui;
};

TEST_F(UploadTest, ARunNeedsAnOutputThatTakesTheImageAndAFile) {
    load(firmware::makePacketImage({}));
    form->UploadCode1->trigger();
    EXPECT_EQ(boxes(), std::vector<std::string>{"Select a MIDI Out Port / Midi Error"});
    EXPECT_FALSE(form->Timer3.Enabled());

    dialogs.clear();
    form->uploadMode = 0;
    chooseOut();
    form->UploadCode1->trigger();
    EXPECT_EQ(boxes(), std::vector<std::string>{"Select Firmware file / File Error"});
    EXPECT_FALSE(form->Timer3.Enabled()) << "the run ends with the display reset";
    EXPECT_TRUE(vm->sent(ampIn).empty());

    // The amplifier restarted and took its port with it: nothing went out,
    // and the run says so instead of "Firmware Sent".
    dialogs.clear();
    load(firmware::makeSingleImage({}));
    vm->unplug(ampIn);
    form->UploadCode1->trigger();
    EXPECT_EQ(boxes(), std::vector<std::string>{std::string(TForm1::kSendFailed) + " / Status"});
    EXPECT_EQ(form->StatusBar2->panelText(3), "Status -> Error.");
    EXPECT_FALSE(form->midiOutReady) << "the device is to be chosen again";
    EXPECT_FALSE(form->Timer3.Enabled());

    // Another program on the amplifier's port is named before anything goes
    // out. Cancel stops; OK goes on, and a transfer that no reply checks
    // does not claim that the image arrived.
    vm->replug(ampIn);
    chooseOut();
    vm->setOtherClients(ampIn, {"Some DAW"});
    dialogs.clear();
    bool blinking = true;
    dialogs.onBox = [&](const platform::ShownBox&) {
        blinking = form->Timer3.Enabled() || !form->Label3->isHidden();
        return platform::IDCANCEL;
    };
    form->UploadCode1->trigger();
    EXPECT_FALSE(blinking) << "no warning under the question: nothing is being written";
    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].rfind("Another program (Some DAW) is connected to the amp's MIDI port", 0), 0u);
    EXPECT_EQ(dialogs.shown()[0].buttons, platform::Buttons::OkCancel);
    EXPECT_TRUE(vm->sent(ampIn).empty());
    dialogs.clear();
    dialogs.onBox = nullptr;
    form->UploadCode1->trigger();
    EXPECT_EQ(vm->sent(ampIn).size(), size_t(form->imageSize));
    ASSERT_EQ(boxes().size(), 2u);
    EXPECT_EQ(boxes()[1].rfind("The firmware was sent while another program (Some DAW) was connected", 0), 0u);
    EXPECT_FALSE(form->lastRunSucceeded());

    // A port that tells whether others' bytes reached the amp among ours:
    // only that makes the image suspect, not their being there.
    amp->setTiming({.programMs = 100000});  // no restart while the test goes on
    for (const int mixed : {0, 1}) {
        vm->setOthersSeen(ampIn, mixed);
        vm->replug(ampIn);
        chooseOut();
        load(firmware::makeSingleImage({}));
        form->UploadCode1->trigger();
        ASSERT_EQ(boxes().size(), 2u) << ::testing::PrintToString(boxes());
        EXPECT_EQ(boxes()[1].rfind(mixed ? "The firmware was sent while another program (Some DAW)" : "Firmware Sent.", 0),
                  0u)
            << boxes()[1];
        EXPECT_EQ(form->lastRunSucceeded(), !mixed);
    }
}

TEST_F(UploadTest, SingleMessageTransferSendsTheWholeImageAndPlaysBothShows) {
    firmware::SingleImageParams p;
    p.totalSize = 6735;
    const auto image = load(firmware::makeSingleImage(p));
    ASSERT_EQ(form->uploadMode, 1);
    const uint8_t* start = form->imageCursor;
    chooseOut();
    vm->setWireRate(ampIn, 31250);
    amp->setTiming({.programMs = 100000});  // no restart while the test goes on
    const uint64_t t0 = clock.nowMs();
    // When the window's clock, about to move on, first finds the sender done.
    uint64_t sentAt = 0;
    bool sending = true;
    const int hook = clock.addSettleHook([&] {
        if (std::this_thread::get_id() != ui) return;
        const bool done = form->senderDone.load();
        if (done && sending) sentAt = clock.nowMs();
        sending = !done;
    });
    form->Button2Click();
    EXPECT_EQ(vm->sent(ampIn), image);
    EXPECT_EQ(form->Timer1.Interval(), 2u);
    // The wire takes 2.16 s. Ticks that fall due together come as one, as
    // window timers do, so the count depends on how busy the loop was.
    EXPECT_GT(form->tickCount, 0);
    EXPECT_LE(form->tickCount, 1000);
    EXPECT_GE(clock.nowMs() - t0, 2155u);
    const std::string sent =
        "Firmware Sent. Wait for Amp to Restart. If amp does not restart on its own, power cycle and check amps code "
        "version number. / File Sent";
    EXPECT_EQ(boxes(), std::vector<std::string>{sent});
    // Then size / 75000 + 7 verify sweeps of 780 ms and size / 75000 + 9
    // programming sweeps of 144 ms, once the wait for the sender (60 ms a
    // pass) has ended.
    EXPECT_TRUE(comesAfter(sentAt, shownAt(sent), 7 * 780 + 9 * 144, 60));
    EXPECT_TRUE(form->CGauge1->isHidden());
    EXPECT_TRUE(form->Label3->isHidden());
    EXPECT_FALSE(form->Timer3.Enabled());
    EXPECT_TRUE(ringsDark());
    EXPECT_EQ(form->imageCursor, start);

    p.totalSize = 150000;
    load(firmware::makeSingleImage(p));
    vm->setWireRate(ampIn, 0);
    sending = true;
    form->Button2Click();
    clock.removeSettleHook(hook);
    EXPECT_TRUE(comesAfter(sentAt, shownAt(sent), 9 * 780 + 11 * 144, 60));
}

TEST_F(UploadTest, OpenLoopTransferSendsHeaderAndPacketsAtAFixedPace) {
    firmware::PacketImageParams p;
    p.digits = {0, 1, 5, 9};  // too old for the handshake
    p.packetCount = 7;
    p.payloadSize = 1089;  // messages of 1126 bytes: ring 0 steps 15 ms, 180 ms a sweep of 12
    const auto image = load(firmware::makePacketImage(p));
    chooseOut();
    chooseIn();
    const int hook = senderKeepsUp();
    form->Button2Click();
    clock.removeSettleHook(hook);
    EXPECT_EQ(vm->sent(ampIn), image);
    EXPECT_EQ(form->CGauge1->MaxValue(), 6);
    EXPECT_EQ(form->CGauge1->Progress(), 6);
    EXPECT_TRUE(form->Button1->isEnabled());
    EXPECT_FALSE(form->Label1->isVisible());
    const std::string sent =
        "Firmware Sent. Wait for Amp to Restart. If amp does not restart on its own, power cycle and check amps code "
        "version number. / Status";
    EXPECT_EQ(boxes(), std::vector<std::string>{sent});
    // 2000 ms after the header; a sweep of ring 0 for each packet, whose
    // sender is done within it; after the last, 19 verify sweeps of 780 ms
    // and 12 programming sweeps of 144 ms.
    EXPECT_TRUE(comesAfter(ampAt("recv header"), ampAt("recv packet 0"), 2000));
    for (int k = 1; k < 7; ++k)
        EXPECT_TRUE(comesAfter(ampAt("recv packet " + std::to_string(k - 1)), ampAt("recv packet " + std::to_string(k)),
                               180))
            << k;
    EXPECT_TRUE(comesAfter(ampAt("recv packet 6"), shownAt(sent), 180 + 19 * 780 + 12 * 144));
    EXPECT_EQ(form->StatusBar2->panelText(2), " ");
    EXPECT_TRUE(ringsDark());
}

TEST_F(UploadTest, NewerFirmwareWithoutAnInputOffersTheUsbSetUp) {
    const auto image = load(firmware::makePacketImage({}));  // 02.06
    chooseOut();
    amp->setVersion("02.06");
    dialogs.onBox = [this](const platform::ShownBox& b) {
        noteBox(b);
        if (b.text == "Do you want to setup the KOLVA USB MIDI interface?") return platform::IDYES;
        if (b.text == "Let's test the connection, select the MIDI device.") {
            // The user picks both devices, then presses Test Midi in the window.
            chooseOut();
            chooseIn();
            QTimer::singleShot(0, form4.get(), [this] {
                form4->Shape1MouseDown(Qt::LeftButton);
                vm->settle();
                QTimer::singleShot(0, form4.get(), [this] { form4->SpeedButton1Click(); });
            });
        }
        return platform::IDOK;
    };
    const int hook = senderKeepsUp();  // else the amplifier may restart under a packet
    form->Button2Click();
    clock.removeSettleHook(hook);
    EXPECT_EQ(vm->sent(ampIn).size() >= image.size(), true);
    const auto shown = boxes();
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[1], "Do you want to setup the KOLVA USB MIDI interface? / Status");
    EXPECT_EQ(shown[2], "Plug in usb cable and let the Windows Driver install finish. / Status");
    EXPECT_EQ(shown[3], "Let's test the connection, select the MIDI device. / Status");
    EXPECT_EQ(shown[4], "Success, new code rev is confirmed. Rock On! / Status");
    EXPECT_EQ(form->StatusBar2->panelText(3), "Status -> Complete.");
    EXPECT_TRUE(comesAfter(shownAt(shown[1]), shownAt(shown[2]), 1000, 0));
    EXPECT_TRUE(comesAfter(shownAt(shown[2]), shownAt(shown[3]), 2000, 0));
}

TEST_F(UploadTest, CancelEndsTheTransferAfterThePacketInProgress) {
    firmware::PacketImageParams p;
    p.digits = {0, 1, 0, 0};
    p.packetCount = 10;
    p.payloadSize = 256;
    const auto image = load(firmware::makePacketImage(p));
    const uint8_t* start = form->imageCursor;
    chooseOut();
    const size_t message = p.payloadSize + 37;
    bool pressed = false;
    const int hook = clock.addSettleHook([&] {
        // Pressed and released on the knob while packet 2 goes out.
        if (std::this_thread::get_id() == ui && !pressed && vm->sent(ampIn).size() > 37 + 2 * message) {
            pressed = true;
            form->CancelMouseDown();
            EXPECT_FALSE(form->Image2->isHidden());
            form->CancelMouseUp();
            // Nothing else may switch or test the port under the transfer.
            EXPECT_FALSE(form->Out1->isEnabled());
            EXPECT_FALSE(form->TestMidiConnection1->isEnabled());
            form->None->trigger();
            EXPECT_TRUE(form->midiOutReady);
            EXPECT_FALSE(form->None->isChecked());
        }
    });
    form->Button2Click();
    clock.removeSettleHook(hook);
    ASSERT_TRUE(pressed);
    EXPECT_EQ(vm->sent(ampIn).size(), 37 + 3 * message) << "packet 2 is completed, then the run stops";
    EXPECT_EQ(boxes(), std::vector<std::string>{"User terminated code upload. Power cycle amp. / Status"});
    EXPECT_EQ(form->StatusBar2->panelText(3), "Status -> Upload Terminated.");
    EXPECT_FALSE(form->cancelRequested);
    EXPECT_EQ(form->imageCursor, start);
    EXPECT_TRUE(ringsDark());
    EXPECT_TRUE(form->CGauge1->isHidden());
    EXPECT_TRUE(form->Label1->isHidden());
    EXPECT_TRUE(form->Out1->isEnabled());

    // The keyboard's Cancel (Space on the focused knob), then a press on the
    // knob's rim, each while packet 2 goes.
    auto* rim = form->findChild<QWidget*>("KnobRim");
    ASSERT_NE(rim, nullptr);
    for (const bool byKey : {true, false}) {
        SCOPED_TRACE(byKey ? "Space" : "knob rim");
        bool keyed = false;
        const int keyHook = clock.addSettleHook([&] {
            if (std::this_thread::get_id() != ui || keyed || vm->sent(ampIn).size() <= 37 + 2 * message) return;
            keyed = true;
            if (byKey) {
                EXPECT_EQ(form->focusWidget(), rim);
                QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
                QApplication::sendEvent(rim, &space);
                return;
            }
            const QPointF edge(3, rim->height() / 2.0);  // on the rim, clear of the label
            QMouseEvent down(QEvent::MouseButtonPress, edge, rim->mapToGlobal(edge), Qt::LeftButton, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(rim, &down);
            EXPECT_FALSE(form->Image2->isHidden()) << "the knob shows it is pressed";
            QMouseEvent up(QEvent::MouseButtonRelease, edge, rim->mapToGlobal(edge), Qt::LeftButton, Qt::NoButton,
                           Qt::NoModifier);
            QApplication::sendEvent(rim, &up);
        });
        vm->clearSent(ampIn);
        dialogs.clear();
        form->Button2Click();
        clock.removeSettleHook(keyHook);
        EXPECT_EQ(vm->sent(ampIn).size(), 37 + 3 * message);
        EXPECT_EQ(boxes(), std::vector<std::string>{"User terminated code upload. Power cycle amp. / Status"});
    }

    // A press after the run belongs to no run: the next one goes through,
    // and so does a press of the Cancel button between runs.
    form->CancelMouseUp();
    form->Button1->click();
    vm->clearSent(ampIn);
    form->Button2Click();
    EXPECT_EQ(vm->sent(ampIn), image);
}

TEST_F(UploadTest, ClosingTheWindowDuringARunAsksWhileDataGoesThenEndsItAndThenTheProgram) {
    firmware::PacketImageParams p;
    p.digits = {0, 1, 0, 0};
    p.packetCount = 20;
    load(firmware::makePacketImage(p));
    chooseOut();
    // Closed twice while packets go: the user keeps the run at the question
    // the first time; the second close comes from the desktop ending the
    // program (a signal), which asks nothing and shows no box.
    int closes = 0;
    size_t keptAt = 0;
    const int hook = clock.addSettleHook([&] {
        if (std::this_thread::get_id() != ui) return;
        const size_t sent = vm->sent(ampIn).size();
        if (closes == 0 && sent > 5000) {
            ++closes;
            dialogs.answer(platform::IDNO);
            form->close();
            keptAt = sent;
        } else if (closes == 1 && sent > keptAt + 3000) {
            ++closes;
            platform::endDialogs();
            form->close();  // refused while the run unwinds
        }
    });
    form->Button2Click();
    clock.removeSettleHook(hook);
    platform::endDialogs(false);
    ASSERT_EQ(closes, 2);
    EXPECT_LT(vm->sent(ampIn).size(), size_t(37 + 20 * 1061));
    EXPECT_EQ(boxes(), (std::vector<std::string>{std::string(TForm1::kCloseDuringTransfer) + " / Status"}));
    EXPECT_FALSE(form->uploadRunning());
    clock.processMessages();  // the close that was put off
    EXPECT_FALSE(form->isVisible());
    EXPECT_NE(iniText().find("[MIDI_SELECTION]"), std::string::npos) << "settings saved at close";
}

}  // namespace
