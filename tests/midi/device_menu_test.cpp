// The Midi menu of the main window over the virtual driver: the Out and In
// entries, choosing devices, busy and vanished devices, and what is kept.
#include <QActionGroup>

#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "platform/midi/virtual_midi.h"
#include "tests/support/form_fixture.h"

using platform::midi::VirtualMidi;

namespace {

class DeviceMenuTest : public FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        vm = std::make_unique<VirtualMidi>();
    }
    void TearDown() override {
        FormFixture::TearDown();
        vm.reset();
    }
    void addDevices(int n) {
        for (int i = 0; i < n; ++i) {
            outs.push_back(vm->addOutput("Amp Out " + std::to_string(i + 1)));
            ins.push_back(vm->addInput("Amp In " + std::to_string(i + 1)));
        }
    }
    QStringList captions(QMenu* m) const {
        QStringList s;
        for (QAction* a : m->actions()) s << a->text();
        return s;
    }
    QAction* entry(QMenu* m, int position) const { return m->actions().value(position); }
    QAction* marked(QMenu* m) const {
        QAction* found = nullptr;
        for (QAction* a : m->actions())
            if (a->isChecked()) {
                EXPECT_EQ(found, nullptr) << "two entries carry the mark";
                found = a;
            }
        return found;
    }
    std::vector<std::string> boxTexts() const {
        std::vector<std::string> t;
        for (const auto& b : dialogs.shown()) t.push_back(b.text + " / " + b.caption);
        return t;
    }

    std::unique_ptr<VirtualMidi> vm;
    std::vector<VirtualMidi::DeviceId> outs, ins;
};

TEST_F(DeviceMenuTest, WithoutDevicesBothSubmenusHoldOnlyNone) {
    start();
    EXPECT_EQ(captions(form->Out1), QStringList{"None"});
    EXPECT_EQ(captions(form->In1), QStringList{"None"});
    EXPECT_EQ(marked(form->Out1), form->None);
    EXPECT_EQ(marked(form->In1), form->NoneIn);
    EXPECT_TRUE(form->None->font().bold());
    EXPECT_EQ(form->selectedOutPort, -1);
    EXPECT_FALSE(form->checkMidiOut());
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"Select a MIDI Out Port / Midi Error"});
}

TEST_F(DeviceMenuTest, FourteenDevicesListTheFirstTwelveInIndexOrder) {
    addDevices(14);
    start();
    QStringList out{"None"}, in{"None"};
    for (int i = 1; i <= 12; ++i) {
        out << QString("Amp Out %1").arg(i);
        in << QString("Amp In %1").arg(i);
    }
    EXPECT_EQ(captions(form->Out1), out);
    EXPECT_EQ(captions(form->In1), in);
    for (int i = 0; i <= 12; ++i) {
        EXPECT_EQ(entry(form->Out1, i)->data().toInt(), i - 1);
        EXPECT_TRUE(entry(form->Out1, i)->isCheckable());
        EXPECT_EQ(entry(form->Out1, i)->actionGroup(), form->None->actionGroup());
    }
    EXPECT_NE(form->None->actionGroup(), form->NoneIn->actionGroup()) << "the two submenus are independent";
    EXPECT_EQ(marked(form->Out1), form->None);
}

TEST_F(DeviceMenuTest, ChoosingDevicesOpensThemAndSwitchesBetweenThem) {
    addDevices(3);
    start();
    entry(form->Out1, 2)->trigger();  // device 1
    entry(form->In1, 3)->trigger();   // device 2
    EXPECT_TRUE(form->midiOutReady);
    EXPECT_TRUE(form->midiInReady);
    EXPECT_EQ(form->selectedOutPort, 1);
    EXPECT_EQ(form->selectedInPort, 2);
    EXPECT_TRUE(vm->isOpen(outs[1]));
    EXPECT_TRUE(vm->isOpen(ins[2]));
    EXPECT_EQ(marked(form->Out1), entry(form->Out1, 2));
    EXPECT_EQ(marked(form->In1), entry(form->In1, 3));
    EXPECT_TRUE(form->checkMidiOut());

    // Again the same device: closed and opened again, still ready.
    entry(form->Out1, 2)->trigger();
    EXPECT_EQ(vm->openCount(outs[1]), 2);
    EXPECT_TRUE(form->midiOutReady);
    // Another one: the first closes.
    entry(form->Out1, 1)->trigger();
    EXPECT_FALSE(vm->isOpen(outs[1]));
    EXPECT_TRUE(vm->isOpen(outs[0]));
    EXPECT_EQ(form->selectedOutPort, 0);
    // None closes it.
    form->None->trigger();
    EXPECT_FALSE(vm->isOpen(outs[0]));
    EXPECT_FALSE(form->midiOutReady);
    EXPECT_EQ(form->selectedOutPort, -1);
    EXPECT_TRUE(dialogs.shown().empty());

    // The choices are kept at close.
    stop();
    EXPECT_NE(iniText().find("MIDI_OutPort=-1"), std::string::npos);
    EXPECT_NE(iniText().find("MIDI_InPort=2"), std::string::npos);
    EXPECT_FALSE(vm->isOpen(ins[2]));
}

TEST_F(DeviceMenuTest, ABusyDeviceIsReportedEachTimeAndOthersStillWork) {
    addDevices(2);
    vm->setBusy(outs[1], true);
    vm->setBusy(ins[0], true, {"jackd"});
    start();
    entry(form->Out1, 1)->trigger();  // device 0 opens
    ASSERT_TRUE(form->midiOutReady);
    entry(form->Out1, 2)->trigger();  // busy: the first is closed and none is open
    EXPECT_FALSE(form->midiOutReady);
    EXPECT_FALSE(form->MidiOut1->Using());
    EXPECT_FALSE(vm->isOpen(outs[0]));
    EXPECT_EQ(form->selectedOutPort, 1) << "the failed entry keeps its index and mark";
    EXPECT_EQ(marked(form->Out1), entry(form->Out1, 2));
    entry(form->Out1, 2)->trigger();
    entry(form->In1, 1)->trigger();
    EXPECT_FALSE(form->midiInReady);
    // A program known to hold the device is named, with what to do.
    EXPECT_EQ(boxTexts(), (std::vector<std::string>{
                              "That port is not ready. / MIDI Error", "That port is not ready. / MIDI Error",
                              "That port is not ready. jackd holds the amp's MIDI device, so nothing can be sent to "
                              "the amp through it. Close that program (or stop its MIDI driver), then choose the port "
                              "again. / MIDI Error"}));
    EXPECT_EQ(dialogs.shown()[0].buttons, platform::Buttons::Ok);
    entry(form->Out1, 1)->trigger();
    entry(form->In1, 2)->trigger();
    EXPECT_TRUE(form->midiOutReady);
    EXPECT_TRUE(form->midiInReady);
    EXPECT_EQ(dialogs.shown().size(), 3u);
}

TEST_F(DeviceMenuTest, DeSelectingClosesWhatOpenedAndClearsBothFlags) {
    addDevices(2);
    vm->setBusy(ins[1], true);
    start();
    entry(form->Out1, 2)->trigger();
    entry(form->In1, 2)->trigger();  // fails: the input keeps its failed choice
    ASSERT_TRUE(form->midiOutReady);
    form->deSelectCurrentMidi();
    EXPECT_FALSE(form->midiOutReady);
    EXPECT_FALSE(form->midiInReady);
    EXPECT_EQ(marked(form->Out1), form->None);
    EXPECT_EQ(form->selectedOutPort, -1);
    EXPECT_FALSE(vm->isOpen(outs[1]));
    EXPECT_EQ(marked(form->In1), entry(form->In1, 2)) << "an input whose open failed is left as it was";
    EXPECT_EQ(form->selectedInPort, 1);
}

TEST_F(DeviceMenuTest, RebuildingTheListsAsksTheServiceForTheCurrentDevices) {
    addDevices(3);
    start();
    entry(form->Out1, 3)->trigger();
    entry(form->In1, 3)->trigger();
    // The amplifier restarts: its ports vanish, come back, and a new one appears.
    vm->unplug(outs[0]);
    vm->unplug(ins[0]);
    vm->addOutput("Amp Out 4");
    form->populateMidiSelect();
    EXPECT_EQ(captions(form->Out1), (QStringList{"None", "Amp Out 2", "Amp Out 3", "Amp Out 4"}));
    EXPECT_EQ(captions(form->In1), (QStringList{"None", "Amp In 2", "Amp In 3"}));
    EXPECT_EQ(marked(form->Out1), form->None);
    EXPECT_EQ(marked(form->In1), form->NoneIn);
    EXPECT_FALSE(form->midiOutReady);
    EXPECT_FALSE(vm->isOpen(outs[2]));
    EXPECT_FALSE(vm->isOpen(ins[2]));
    entry(form->Out1, 3)->trigger();
    EXPECT_TRUE(form->midiOutReady);
}

TEST_F(DeviceMenuTest, ADevicePluggedInLaterShowsWhenTheMenuOpensIfNothingIsChosen) {
    start();
    outs.push_back(vm->addOutput("Late Out"));
    ins.push_back(vm->addInput("Late In"));
    emit form->Midi1->aboutToShow();
    EXPECT_EQ(captions(form->Out1), (QStringList{"None", "Late Out"}));
    EXPECT_EQ(captions(form->In1), (QStringList{"None", "Late In"}));
    // Once a device is chosen the lists stay as they are.
    entry(form->Out1, 1)->trigger();
    vm->addOutput("Later Out");
    emit form->Midi1->aboutToShow();
    EXPECT_EQ(captions(form->Out1), (QStringList{"None", "Late Out"}));
    EXPECT_TRUE(form->midiOutReady);
    EXPECT_TRUE(vm->isOpen(outs[0]));
}

TEST_F(DeviceMenuTest, DevicesComingAndGoingAreLoggedOnTheWindowThread) {
    addDevices(1);
    start();
    const int before = form->Memo1->lineCount();
    vm->unplug(outs[0]);
    vm->replug(outs[0]);
    vm->settle();
    clock.processMessages();
    ASSERT_EQ(form->Memo1->lineCount(), before + 2);
    EXPECT_EQ(form->Memo1->Lines()[before], "8004");
    EXPECT_EQ(form->Memo1->Lines()[before + 1], "8000");
    EXPECT_EQ(form->Memo3->Lines().last(), "0000");
    EXPECT_FALSE(form->Memo1->isVisible());
}

}  // namespace
