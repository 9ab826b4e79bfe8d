// Device selection of the main window: the Midi menu's Out and In entries,
// and the two port components behind them.
#include <QActionGroup>
#include <QFont>
#include <QMetaObject>
#include <algorithm>
#include <type_traits>

#include "app/application.h"
#include "app/unit1.h"
#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "platform/dialogs.h"
#include "platform/midi/device_events.h"
#include "platform/midi/midi_layer.h"

namespace {

constexpr int kRadioGroup = 3;

// "None" heads each submenu: the default entry, drawn bold.
void makeNoneEntry(QAction* a, QActionGroup* group) {
    a->setCheckable(true);
    a->setData(-1);
    a->setProperty("GroupIndex", kRadioGroup);
    QFont f = a->font();
    f.setBold(true);
    a->setFont(f);
    group->addAction(a);
}

}  // namespace

void TForm1::createMidiPorts() {
    MidiOut1 = new TMidiOut(this);
    MidiOut1->setObjectName("MidiOut1");
    MidiIn1 = new TMidiIn(this);
    MidiIn1->setObjectName("MidiIn1");
    MidiIn1->OnSysEx = [this](TMidiIn* sender, uint8_t* data, int size) { MidiIn1SysEx(sender, data, size); };

    auto* outGroup = new QActionGroup(Out1);
    outGroup->setExclusive(true);
    makeNoneEntry(None, outGroup);
    connect(None, &QAction::triggered, this, [this] { app::guarded([this] { userChoosesPort(None, &TForm1::Dev1Click); }); });
    auto* inGroup = new QActionGroup(In1);
    inGroup->setExclusive(true);
    makeNoneEntry(NoneIn, inGroup);
    connect(NoneIn, &QAction::triggered, this,
            [this] { app::guarded([this] { userChoosesPort(NoneIn, &TForm1::NoneInClick); }); });

    // A device plugged in after start-up shows up the next time the Midi
    // menu opens, as long as nothing is chosen that a rebuild would close.
    connect(Midi1, &QMenu::aboutToShow, this, [this] {
        if (selectedOutPort == -1 && selectedInPort == -1 && !MidiOut1->Using() && !MidiIn1->Using())
            app::guarded([this] { populateMidiSelect(); });
    });

    // Devices coming and going reach the window as WM_DEVICECHANGE would: on
    // the UI thread, whatever thread the MIDI service noticed them on.
    platform::midi::setDeviceChangeHandler([this](uint32_t wParam, uint32_t lParam) {
        bool first = false;
        {
            std::lock_guard<std::mutex> l(deviceChangeMutex_);
            first = deviceChanges_.empty();
            deviceChanges_.emplace_back(wParam, lParam);
        }
        if (first) QMetaObject::invokeMethod(this, "drainDeviceChanges", Qt::QueuedConnection);
    });
}

void TForm1::drainDeviceChanges() {
    std::vector<std::pair<uint32_t, uint32_t>> changes;
    {
        std::lock_guard<std::mutex> l(deviceChangeMutex_);
        changes.swap(deviceChanges_);
    }
    for (const auto& [wParam, lParam] : changes) deviceChange(wParam, lParam);
}

void TForm1::closeMidiPorts() {
    if (MidiOut1) MidiOut1->SetUsing(false);
    if (MidiIn1) MidiIn1->SetUsing(false);
}

void TForm1::destroyMidiPorts() {
    platform::midi::setDeviceChangeHandler({});
    delete MidiOut1;
    MidiOut1 = nullptr;
    delete MidiIn1;
    MidiIn1 = nullptr;
}

void TForm1::populateMidiSelect() {
    Dev1Click(None);
    NoneInClick(NoneIn);

    for (QMenu* menu : {Out1, In1}) {
        const QList<QAction*> entries = menu->actions();
        for (qsizetype i = 1; i < entries.size(); ++i) {
            menu->removeAction(entries[i]);
            delete entries[i];
        }
    }

    // A device plugged in or re-enumerated since start-up has new ports: ask
    // the service for the current ones rather than offer stale entries.
    MidiOut1->refreshDevices();
    MidiIn1->refreshDevices();

    auto addEntries = [this](QMenu* menu, QAction* none, int count, auto name, void (TForm1::*click)(QAction*)) {
        for (int i = 0; i < count; ++i) {
            QAction* a = menu->addAction(QString::fromUtf8(name(i)));
            a->setCheckable(true);
            a->setData(i);
            a->setProperty("GroupIndex", kRadioGroup);
            none->actionGroup()->addAction(a);
            connect(a, &QAction::triggered, this,
                    [this, a, click] { app::guarded([this, a, click] { userChoosesPort(a, click); }); });
        }
    };
    addEntries(Out1, None, MidiOut1->NumDevs(), [this](int i) { return MidiOut1->deviceName(i); }, &TForm1::Dev1Click);
    addEntries(In1, NoneIn, MidiIn1->NumDevs(), [this](int i) { return MidiIn1->deviceName(i); }, &TForm1::NoneInClick);

    // A MIDI system that is there but refuses us says why, where the devices would be.
    if (MidiOut1->NumDevs() == 0 && MidiIn1->NumDevs() == 0) {
        const std::string problem = platform::midi::driverProblem();
        if (!problem.empty())
            for (QMenu* menu : {Out1, In1}) menu->addAction(QString::fromStdString(problem))->setEnabled(false);
    }
}

namespace {

// Why a device will not open, when a program we can name holds it.
template <class Port>
std::string notReadyText(int index) {
    const auto holders = std::is_same_v<Port, TMidiOut> ? platform::midi::outputHolders(UINT(index))
                                                        : platform::midi::inputHolders(UINT(index));
    std::string text = "That port is not ready.";
    if (holders.empty()) return text;
    std::string names;
    for (const std::string& n : holders) names += (names.empty() ? "" : ", ") + n;
    return text + " " + names + (holders.size() == 1 ? " holds" : " hold") +
           " the amp's MIDI device, so nothing can be sent to the amp through it. Close " +
           (holders.size() == 1 ? "that program" : "them") +
           " (or stop its MIDI driver), then choose the port again.";
}

// Both directions choose alike: the entry's Tag is the device index, -1 for
// "None"; a device that will not open is reported and its port left closed.
template <class Port>
void chooseDevice(Port* port, QAction* entry, int& selected, bool& ready) {
    selected = entry->data().toInt();
    entry->setChecked(true);
    if (selected == -1) {
        ready = false;
        port->SetUsing(false);
        return;
    }
    port->SetPort(selected);
    port->SetUsing(true);
    if (port->OpenResult != MMSYSERR_NOERROR) {
        platform::messageBox(notReadyText<Port>(selected), "MIDI Error", platform::Buttons::Ok);
        ready = false;
        port->SetUsing(false);
    } else {
        ready = true;
    }
}

}  // namespace

void TForm1::userChoosesPort(QAction* entry, void (TForm1::*click)(QAction*)) {
    if (!portsLocked_) {
        (this->*click)(entry);
        return;
    }
    // A transfer is talking through the ports: the choice is refused and the
    // menus show the ports still in use.
    const bool out = click == &TForm1::Dev1Click;
    const int selected = out ? selectedOutPort : selectedInPort;
    for (QAction* a : (out ? Out1 : In1)->actions())
        if (a->isCheckable() && a->data().toInt() == selected) a->setChecked(true);
}

void TForm1::Dev1Click(QAction* Sender) { chooseDevice(MidiOut1, Sender, selectedOutPort, midiOutReady); }

void TForm1::NoneInClick(QAction* Sender) { chooseDevice(MidiIn1, Sender, selectedInPort, midiInReady); }

bool TForm1::checkMidiOut() {
    if (midiOutReady) return true;
    platform::messageBox("Select a MIDI Out Port", "Midi Error", platform::Buttons::Ok);
    return false;
}

std::vector<std::string> TForm1::otherProgramsOnPorts() const {
    std::vector<std::string> names;
    auto add = [&names](const std::vector<std::string>& more) {
        for (const std::string& n : more)
            if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    };
    // Only those that can send to the amp: a listener to its replies
    // disturbs nothing.
    if (midiOutReady) add(platform::midi::otherClients(MidiOut1->Handle));
    return names;
}

void TForm1::deSelectCurrentMidi() {
    if (MidiOut1->OpenResult == MMSYSERR_NOERROR) Dev1Click(None);
    if (MidiIn1->OpenResult == MMSYSERR_NOERROR) NoneInClick(NoneIn);
    midiInReady = false;
    midiOutReady = false;
}

void TForm1::reSelectCurrentMidi() { populateMidiSelect(); }
