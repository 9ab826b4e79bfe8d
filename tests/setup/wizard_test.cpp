// The startup help wizard on the main window, with a simulated amplifier on
// the virtual MIDI driver: every step, the revision reading, the test
// control, the first-time setting and the one- and two-stage updates.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QToolButton>
#include <fstream>
#include <functional>
#include <thread>

#include "firmware/syx_generator.h"
#include "platform/midi/virtual_midi.h"
#include "platform/widgets/timage.h"
#include "platform/widgets/tshape.h"
#include "setup/unit3.h"
#include "sim/simulated_amp.h"
#include "tests/support/amp_fixture.h"

using platform::midi::VirtualMidi;

namespace {

class WizardTest : public AmpFixture {
protected:
    WizardTest() : AmpFixture("01.02") {}
    void SetUp() override {
        AmpFixture::SetUp();
        start();
    }
    void next() { form3->Shape1MouseUp(Qt::LeftButton); }
    QString text() const { return form3->Label1->text(); }
    // The lowest row of the wizard where the instruction's white text shows.
    int instructionBottom() const {
        const QImage img = form3->Label1->grab().toImage();
        for (int y = img.height() - 1; y >= 0; --y)
            for (int x = 0; x < img.width(); ++x)
                if (qGray(img.pixel(x, y)) > 200) return form3->Label1->y() + y;
        return -1;
    }
    // Welcome .. ReadRevision, with the output device chosen and tested.
    void walkToReadRevision() {
        form3->Button1->click();                 // Welcome -> Connect
        form3->Button1->click();                 // Connect -> SelectDevice
        form3->ComboBox1->setCurrentIndex(0);    // opens output device 0
        next();                                  // -> TestConnection
        form3->Shape2MouseUp(Qt::LeftButton);    // test program 1
        next();                                  // -> RevisionMode
        next();                                  // -> ReadRevision
    }
};

TEST_F(WizardTest, FirstStartShowsItAndTheCheckBoxKeepsTheSetting) {
    EXPECT_FALSE(form3->isVisible());
    clock.runFor(400);
    EXPECT_TRUE(form3->isVisible());
    EXPECT_EQ(text(), "Welcome to the Kolva Updater. Are you ready to get started?");
    form3->CheckBox1->click();
    EXPECT_NE(iniText().find("FT=0"), std::string::npos);
    EXPECT_FALSE(form->StartupHelp1->isChecked());
    form3->CheckBox1->click();
    EXPECT_NE(iniText().find("FT=1"), std::string::npos);
    EXPECT_TRUE(form->StartupHelp1->isChecked());
    form3->Button1->click();
    EXPECT_TRUE(form3->CheckBox1->isHidden());
    EXPECT_TRUE(form->wizardActive);
}

TEST_F(WizardTest, TheDeviceStepWaitsForAnOpenDeviceAndTheTestSendsPrograms) {
    form3->Button1->click();
    form3->Button1->click();
    EXPECT_EQ(text(), "Select your MIDI device from the drop down menu.");
    EXPECT_LT(instructionBottom(), form3->ComboBox1->y()) << "the instruction lies above the list";
    ASSERT_EQ(form3->ComboBox1->count(), 1);
    EXPECT_EQ(form3->ComboBox1->itemText(0), "Kolva Amp MIDI In");
    EXPECT_FALSE(form3->Shape1->isEnabled());
    // The Midi menu rebuilt after the list was filled (the amp unplugged,
    // another device plugged in): the list's entry still means the amp.
    vm->unplug(ampIn);
    const auto other = vm->addOutput("Elsewhere");
    form->populateMidiSelect();
    form3->ComboBox1->setCurrentIndex(0);
    EXPECT_FALSE(form->midiOutReady);
    EXPECT_FALSE(vm->isOpen(other));
    vm->replug(ampIn);
    form->populateMidiSelect();
    form3->ComboBox1->setCurrentIndex(-1);
    form3->ComboBox1->setCurrentIndex(0);
    EXPECT_TRUE(form->midiOutReady);
    EXPECT_TRUE(form->Out1->actions()[1]->isChecked());
    EXPECT_TRUE(form3->Shape1->isEnabled());
    next();
    EXPECT_EQ(form3->Shape1->x(), 270) << "the Next control makes room for Test";
    EXPECT_FALSE(form3->Image4->isHidden());
    for (int i = 0; i < 5; ++i) {
        form3->Shape2MouseDown(Qt::LeftButton);
        EXPECT_FALSE(form3->Image9->isHidden());
        form3->Shape2MouseUp(i == 4 ? Qt::RightButton : Qt::LeftButton);
    }
    // From the keyboard (Space on the focused control) and through a screen
    // reader's press action, the same.
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QApplication::sendEvent(form3->Shape2, &space);
    QAccessibleInterface* test = QAccessible::queryAccessibleInterface(form3->Shape2);
    ASSERT_NE(test, nullptr);
    EXPECT_EQ(test->role(), QAccessible::Button);
    EXPECT_EQ(test->text(QAccessible::Name), "Test MIDI");
    ASSERT_NE(test->actionInterface(), nullptr);
    test->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(form3->Shape2->focusPolicy(), Qt::StrongFocus);
    EXPECT_EQ(form3->Button1->focusPolicy(), Qt::NoFocus) << "the hidden step button is out of the tab chain";
    vm->settle();
    EXPECT_EQ(vm->sent(ampIn),
              (std::vector<uint8_t>{0xC0, 1, 0xC0, 2, 0xC0, 3, 0xC0, 0, 0xC0, 1, 0xC0, 2, 0xC0, 3}));
    next();
    EXPECT_EQ(form3->Shape1->x(), 210);
    EXPECT_FALSE(form3->Image5->isHidden());
}

TEST_F(WizardTest, EscapeMovesOnEvenBeforeADeviceOpened) {
    form3->show();
    // Enter runs the step from the step button only, never from the check box.
    const auto enter = [](QWidget* w) {
        w->setFocus();
        QKeyEvent e(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    };
    form3->activateWindow();
    enter(form3->CheckBox1);
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Click);
    enter(form3->Button1);
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Next8Click);
    form3->Shape1->setFocus();
    form3->Button1->click();
    ASSERT_FALSE(form3->Shape1->isEnabled());
    EXPECT_EQ(form3->focusWidget(), form3->Button1) << "the keys go on to the step button behind the disabled arrow";
    form3->reject();  // what Escape does
    EXPECT_TRUE(form3->isVisible());
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Next1Click);
    EXPECT_TRUE(form3->Shape1->isEnabled()) << "a step without a condition of its own keeps the arrow live";
    EXPECT_EQ(form3->focusWidget(), form3->Shape1);
}

TEST_F(WizardTest, TheRingListsBuildTheRevisionAndMarkTheLeds) {
    walkToReadRevision();
    EXPECT_FALSE(form3->Shape1->isEnabled());
    EXPECT_FALSE(form3->Label2->isHidden());
    EXPECT_LT(instructionBottom(), form3->ComboBox2->y()) << "the instruction lies above the lists";
    EXPECT_EQ(form3->ComboBox4->itemText(6).toStdString(), "6 \u2013 Digital Delay") << "entries name their LED";
    form3->ComboBox2->setCurrentIndex(1);
    EXPECT_EQ(form3->Label2->text(), "1.xx");
    EXPECT_EQ(form3->Shape3->pos(), QPoint(145, 42));
    EXPECT_FALSE(form3->Shape3->isHidden());
    form3->ComboBox4->setCurrentIndex(2);
    EXPECT_FALSE(form3->Shape1->isEnabled());
    form3->ComboBox3->setCurrentIndex(0);
    EXPECT_EQ(form3->Label2->text(), "1.02");
    EXPECT_EQ(form3->Shape4->pos(), QPoint(221, 42));
    EXPECT_EQ(form3->Shape5->pos(), QPoint(331, 49));
    EXPECT_TRUE(form3->Shape1->isEnabled());
    next();
    EXPECT_TRUE(form3->ComboBox2->isHidden());
    EXPECT_TRUE(form3->Shape3->isHidden());
    EXPECT_TRUE(form3->Label2->isHidden());
    EXPECT_EQ(form3->revisionText(), "1.02");
}

TEST_F(WizardTest, Revision102UpdatesInTwoStages) {
    walkToReadRevision();
    form3->ComboBox2->setCurrentIndex(1);
    form3->ComboBox3->setCurrentIndex(0);
    form3->ComboBox4->setCurrentIndex(2);
    next();  // -> RestartAmp
    firmware::PacketImageParams p;
    p.digits = {0, 2, 1, 0};
    p.packetCount = 3;
    const auto image = firmware::makePacketImage(p);
    const std::string path = save(image, "latest.syx");
    dialogs.chooseFile(path);
    dialogs.onBox = [](const platform::ShownBox& b) {
        return b.text == "Do you want to setup the KOLVA USB MIDI interface?" ? platform::IDNO : platform::IDOK;
    };
    next();  // the file dialog, then Ready at once
    EXPECT_EQ(text(), "Let's start. The program will update intermediate code if needed, then load the latest code.");
    EXPECT_EQ(form3->needIntermediate, 1);
    EXPECT_EQ(*form3->chosenFirmwarePath, path);

    const uint64_t t0 = clock.nowMs();
    next();  // first stage: the built-in intermediate image
    EXPECT_EQ(form->uploadMode, 1);
    EXPECT_FALSE(form->useInternalImage) << "only the stage's own load is the built-in image";
    EXPECT_GE(clock.nowMs() - t0, 1000u);
    EXPECT_TRUE(text().startsWith("First stage complete!"));
    EXPECT_TRUE(form3->isVisible()) << "the upload brings the wizard to the front";
    vm->settle();
    EXPECT_EQ(vm->sent(ampIn).size(), 2 + 52576u) << "the test program, then the intermediate image";

    vm->clearSent(ampIn);
    clock.runFor(10000);  // the amplifier restarts
    form->Out1->actions()[1]->trigger();
    next();  // final stage: the chosen file
    EXPECT_FALSE(form->useInternalImage);
    EXPECT_EQ(form->uploadMode, 2);
    vm->settle();
    EXPECT_EQ(vm->sent(ampIn), image) << "no input chosen: the open-loop transfer";
    EXPECT_EQ(text(), "Final stage complete! The amp should have rebooted and you should now have the latest code.");
    EXPECT_TRUE(dialogs.shown().size() >= 1);
    next();
    EXPECT_FALSE(form3->isVisible());
    EXPECT_FALSE(form->wizardActive);
}

// A stage that could not run is offered again, never called complete; and
// while a run is going nothing in the wizard may load another image or talk
// to the amplifier under it.
TEST_F(WizardTest, AnyOtherRevisionGoesStraightToTheFinalStageWhichNeverRunsIntoAnotherRun) {
    constexpr const char* kStageFailed =
        "This stage's firmware was not sent. Check the MIDI device and the firmware file, then press the arrow to try "
        "this stage again.";
    walkToReadRevision();
    next();  // nothing chosen: still x.xx (the keyboard path, as Escape would)
    EXPECT_TRUE(form3->Shape1->isEnabled());
    form3->Button1->click();
    EXPECT_EQ(form3->needIntermediate, 0);
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Next9Click);
    EXPECT_FALSE(form3->chosenFirmwarePath.has_value());
    form3->Button1->click();  // final stage without a file
    EXPECT_EQ(form->uploadMode, 0);
    ASSERT_FALSE(dialogs.shown().empty());
    EXPECT_EQ(dialogs.shown().back().text, "Select Firmware file");
    EXPECT_EQ(text(), kStageFailed);
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Next9Click);

    // Run > Upload Code from the main window with file A; the wizard holds B.
    firmware::PacketImageParams p;
    p.digits = {0, 2, 1, 0};
    p.packetCount = 2;
    const auto a = firmware::makePacketImage(p);
    p.packetCount = 7;
    form->uploadMode = form->ReadFile(save(a, "a.syx").c_str());
    form3->chosenFirmwarePath = save(firmware::makePacketImage(p), "b.syx");
    vm->clearSent(ampIn);
    dialogs.clear();
    bool tried = false;
    dialogs.onBox = [&](const platform::ShownBox& b) {
        if (b.text != "Do you want to setup the KOLVA USB MIDI interface?" || tried) return platform::IDOK;
        tried = true;  // the run is still going: its closing prompts
        form3->Button1->click();
        form3->Shape2MouseUp(Qt::LeftButton);
        EXPECT_EQ(form->ReadFile(form3->chosenFirmwarePath->c_str()), 2);
        EXPECT_FALSE(form->TestMidiConnection1->isEnabled());
        return platform::IDNO;
    };
    form->UploadCode1->trigger();
    EXPECT_TRUE(tried);
    EXPECT_EQ(form->packetCount, 2) << "the image under the run was replaced";
    vm->settle();
    EXPECT_EQ(vm->sent(ampIn), a) << "nothing but the run's own image went out";
    const std::string busy = "An update is already running. Wait until it has ended, then try again. / Status";
    EXPECT_EQ(boxes(), (std::vector<std::string>{
                           "Do you want to setup the KOLVA USB MIDI interface? / Status", busy, busy,
                           "An update is running. Load another firmware file when it has ended. / File Error"}));
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Next9Click);
    EXPECT_TRUE(form->TestMidiConnection1->isEnabled());
}

// The final stage, run again after each way it can end: its text says what
// happened to this stage, no earlier attempt's text stands during a run, no
// "Programming in Progress" blinks under a box that asks for a power cycle,
// and a wizard closed meanwhile stays closed.
TEST_F(WizardTest, EachEndOfAStageSaysWhatHappenedAndWhatToDo) {
    walkToReadRevision();
    next();
    firmware::PacketImageParams p;
    p.digits = {0, 2, 1, 0};
    p.packetCount = 3;
    p.payloadSize = 256;
    form3->chosenFirmwarePath = save(firmware::makePacketImage(p), "latest.syx");
    form3->Button1->click();  // the file dialog, cancelled; Ready
    ASSERT_EQ(form3->stepAction(), &TForm3::Button1Next9Click);
    const auto ui = std::this_thread::get_id();
    int question = platform::IDOK;
    std::vector<std::string> warnedAt;
    QString during;
    dialogs.onBox = [&](const platform::ShownBox& b) {
        if (during.isEmpty()) during = text();
        if (b.text == "Now select the MIDI device.") choosePorts();
        if (asksForPowerCycleNow(b.text) && (!form->Label3->isHidden() || form->Timer3.Enabled()))
            warnedAt.push_back(b.text);
        return b.text.find("Continue?") != std::string::npos ? question : platform::IDOK;
    };
    struct End {
        const char* name;
        std::function<void()> prepare;
        bool cancel;
        const char* says;
        bool closeWizard = false;
    };
    const std::vector<End> ends = {
        {"declined",
         [&] {
             question = platform::IDCANCEL;
             form->ReadFile(form3->chosenFirmwarePath->c_str());
             form->ampVersion = form->fileVersion;  // the same version: asked first
         },
         false,
         "This stage's firmware was not sent. Press the arrow"},
        {"cancelled", {}, true, "You stopped this stage before all of its firmware was sent, so it changed nothing"},
        {"no answer", [&] { amp->setFaults({.silentAtPacket = 1}); }, false,
         "The amp stopped answering before all of this stage's firmware was sent"},
        {"no answer, wizard closed", [&] { amp->setFaults({.silentAtPacket = 1}); }, false,
         "The amp stopped answering before all of this stage's firmware was sent", true},
        {"wrong version", [&] { amp->setFaults({.versionAfterReboot = "02.07"}); }, false,
         "The amp was programmed, but it came back with another version than this stage's firmware."},
        {"slow programming", [&] { amp->setTiming({.programMs = 25000}); }, false,
         "The amp has all of this stage's firmware and may still be programming it, so do not turn it off."},
        {"done", {}, false, "Final stage complete!"},
    };
    for (const End& e : ends) {
        SCOPED_TRACE(e.name);
        for (int i = 0; i < 100 && amp->state() >= sim::AmpState::Verifying && amp->state() <= sim::AmpState::Rebooting;
             ++i)
            clock.sleep(100);
        amp->setFaults({});
        amp->setTiming({});
        question = platform::IDOK;
        during.clear();
        choosePorts();
        form->ampVersion = 0;
        if (e.prepare) e.prepare();
        const int hook = clock.addSettleHook([&] {
            if (std::this_thread::get_id() != ui || amp->packetsReceived() < 1) return;
            if (e.cancel) form->CancelMouseUp();
            if (e.closeWizard && form3->isVisible()) form3->SpeedButton1->click();
        });
        form3->show();
        form3->Button1->click();
        clock.removeSettleHook(hook);
        EXPECT_TRUE(text().startsWith(e.says)) << text().toStdString();
        EXPECT_TRUE(during.startsWith("Let's start.")) << during.toStdString();
        EXPECT_NE(form3->isVisible(), e.closeWizard);
        form->wizardActive = true;
    }
    EXPECT_EQ(warnedAt, std::vector<std::string>{}) << "the warning blinked under these boxes";
}

TEST_F(WizardTest, ClosedHalfwayItResumesWhereItWas) {
    form3->show();
    form3->Button1->click();
    form3->Button1->click();
    form3->SpeedButton1->click();
    EXPECT_FALSE(form3->isVisible());
    EXPECT_FALSE(form->wizardActive);
    form->StartupHelp1->trigger();  // off
    form->StartupHelp1->trigger();  // on: shown again
    EXPECT_TRUE(form3->isVisible());
    EXPECT_EQ(text(), "Select your MIDI device from the drop down menu.");
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Next5Click);
    form3->close();  // the window system's close: hidden, the step not run
    EXPECT_FALSE(form3->isVisible());
    EXPECT_EQ(form3->stepAction(), &TForm3::Button1Next5Click);
}

}  // namespace
