// Run > Upload Code: the single-message, open-loop and handshake transfers,
// their progress on the gauge, status bar and rings, cancel, time-outs, the
// USB MIDI set-up prompts and the final version check.
#include <QEvent>
#include <QMouseEvent>
#include <QKeySequence>
#include <QPushButton>
#include <QScopeGuard>
#include <QShortcut>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <string>

#include "app/application.h"
#include "app/unit1.h"
#include "firmware/firmware_header.h"
#include "midi/midi_out.h"
#include "platform/dialogs.h"
#include "platform/power/sleep_lock.h"
#include "platform/widgets/timage.h"
#include "platform/widgets/tshape.h"
#include "upload/device_messages.h"
#include "upload/threader.h"
#include "upload/upload_timing.h"

namespace {

constexpr const char* kFirmwareSent =
    "Firmware Sent. Wait for Amp to Restart. If amp does not restart on its own, power cycle and check amps code "
    "version number.";
constexpr const char* kConfirmed = "Success, new code rev is confirmed. Rock On!";
// "A, B", for the boxes that name other programs.
QString nameList(const std::vector<std::string>& names) {
    QStringList l;
    for (const std::string& n : names) l << QString::fromStdString(n);
    return l.join(", ");
}

// One pass of a wait with nothing of its own to pace it: the window keeps
// drawing, the processor rests.
constexpr uint32_t kWaitPassMs = 10;
// A pass of the single-message transfer draws the rings and the gauge. The
// ticks come every 1 to 15 ms, so ring 0 moves several places between any
// two frames a screen could show; 16 frames a second show it turning at a
// hundredth of a core, where 50 cost two.
constexpr uint32_t kFramePassMs = 60;
// How long an identity reply of an unexpected version waits for the other
// answers to the same requests: each device answers within a few wire times.
constexpr uint32_t kOtherAnswersMs = 500;

// Closing the window while a run waits unwinds the run from its next pass
// through the message loop.
struct RunAborted {};

// No sleep while the amplifier is written: taken when a transfer starts,
// let go whenever the run ends.
power::SleepLock& sleepLock() {
    static power::SleepLock lock;
    return lock;
}

// Pointer presses on the cancel control (Label1 and Image2).
class CancelFilter final : public QObject {
public:
    explicit CancelFilter(TForm1* form) : QObject(form), form_(form) {}
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::MouseButtonPress) {
            form_->CancelMouseDown();
            return true;
        }
        if (e->type() == QEvent::MouseButtonRelease) {
            form_->CancelMouseUp();
            return true;
        }
        return QObject::eventFilter(watched, e);
    }

private:
    TForm1* form_;
};

}  // namespace

void TForm1::installUploadControls() {
    connect(UploadCode1, &QAction::triggered, this, [this] { app::guarded([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { app::guarded([this] { Button3Click(); }); });
    Timer1.OnTimer = [this] { Timer1Timer(); };
    Timer3.OnTimer = [this] { Timer3Timer(); };
    auto* filter = new CancelFilter(this);
    Label1->installEventFilter(filter);
    Image2->installEventFilter(filter);
    // The knob's rim around the label takes a press too, while there is
    // something to cancel: an invisible circle over the knob, under the label.
    auto* rim = knobRim_ = new TShape(Label1->parentWidget());
    rim->setObjectName("KnobRim");
    rim->setKind(TShape::Kind::Circle);
    rim->setNoPen();
    rim->setClearBrush();
    rim->setGeometry(Image2->geometry());
    rim->setAccessibleName("Cancel knob");
    rim->setAccessibleDescription("Push during an update to stop it after the packet in progress");
    rim->stackUnder(Label1);
    rim->hide();  // there while a packet transfer goes
    rim->OnMouseDown = [this](Qt::MouseButton) {
        if (!Label1->isHidden()) CancelMouseDown();
    };
    rim->OnMouseUp = [this](Qt::MouseButton) {
        if (!Label1->isHidden() || !Image2->isHidden()) CancelMouseUp();
    };
    // The keyboard's way to the knob: the rim, which a packet transfer makes
    // a button and gives the focus to (Space, Return), the Cancel button, and
    // Escape anywhere in the window. Only while there is something to cancel.
    const auto keyCancel = [this] {
        if (runActive_ && !Label1->isHidden()) CancelMouseUp();
    };
    Button1->setAutoDefault(true);
    connect(Button1, &QPushButton::clicked, this, keyCancel);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, keyCancel);
}

void TForm1::finishUpload() {
    // A sender left running by a time-out is waited for here at the latest.
    sender_.reset();
    strandedSender_.reset();
}

bool TForm1::closeDuringRun() {
    if (!runActive_) return false;
    // Leaving in the middle of the image leaves the amplifier waiting for the
    // rest: the user is asked, unless the desktop is ending the program.
    if (sending_ && !closeRequested_ && !platform::dialogsEnded() &&
        platform::messageBox(kCloseDuringTransfer, "Status", platform::Buttons::YesNo) != platform::IDYES)
        return true;
    closeRequested_ = true;
    return true;
}

void TForm1::stopWarning() {
    Timer3.setEnabled(false);
    Label3->hide();
}

void TForm1::handleMessages() {
    platform::processMessages();
    if (closeRequested_) throw RunAborted{};
}

void TForm1::pause(uint32_t ms) { platform::Sleep(ms); }

void TForm1::idle(uint32_t ms) {
    platform::idle(ms);
    if (closeRequested_) throw RunAborted{};
}

void TForm1::lockPorts(bool locked) {
    portsLocked_ = locked;
    Out1->setEnabled(!locked);
    In1->setEnabled(!locked);
}

bool TForm1::sendFailed() {
    // Whatever was sent is not the whole image: say so, and let the user
    // choose the device again, as after a time-out.
    outcome_ = RunOutcome::Failed;
    sending_ = false;
    sender_.reset();
    lockPorts(false);
    stopWarning();
    StatusBar2->setPanelText(3, "Status -> Error.");
    platform::messageBox(kSendFailed, "Status", platform::Buttons::Ok);
    deSelectCurrentMidi();
    return true;
}

bool TForm1::lineClear() {
    MidiOut1->ClearMixed();
    othersOnLine_ = otherProgramsOnPorts();
    if (othersOnLine_.empty()) return true;
    const bool one = othersOnLine_.size() == 1;
    const QString text = QString(one ? "Another program (%1) is connected to the amp's MIDI port and may disturb the "
                                       "update. Close it or disconnect it, then press OK. Press Cancel to stop."
                                     : "Other programs (%1) are connected to the amp's MIDI port and may disturb the "
                                       "update. Close them or disconnect them, then press OK. Press Cancel to stop.")
                             .arg(nameList(othersOnLine_));
    if (platform::messageBox(text.toStdString(), "Status", platform::Buttons::OkCancel) != platform::IDOK) {
        outcome_ = RunOutcome::Declined;
        return false;
    }
    // Whoever is still there after OK is remembered: what they send may
    // garble a transfer that no reply checks.
    othersOnLine_ = otherProgramsOnPorts();
    return true;
}

const std::vector<std::string>& TForm1::othersOnLine() {
    if (runActive_) {
        for (const std::string& n : otherProgramsOnPorts())
            if (std::find(othersOnLine_.begin(), othersOnLine_.end(), n) == othersOnLine_.end())
                othersOnLine_.push_back(n);
    } else {
        othersOnLine_.clear();
    }
    return othersOnLine_;
}

QString TForm1::othersOnLineNames() { return nameList(othersOnLine()); }

bool TForm1::lineWasDisturbed() {
    // Where the port tells whether others' bytes reached the amp among ours,
    // only that counts; elsewhere anyone who could send may have.
    if (MidiOut1->SeesOthers() ? !MidiOut1->Mixed() : othersOnLine().empty()) return false;
    if (othersOnLine().empty()) othersOnLine_.push_back("one that has left since");
    outcome_ = RunOutcome::Disturbed;
    const QString text =
        QString("The firmware was sent while %1 (%2) %3 connected to the amp's MIDI port, so the amp may not have "
                "received it whole. If the amp does not restart on its own, close %4, power cycle the amp and "
                "send the firmware again.")
            .arg(othersOnLine_.size() == 1 ? "another program" : "other programs", nameList(othersOnLine_),
                 othersOnLine_.size() == 1 ? "was" : "were", othersOnLine_.size() == 1 ? "that program" : "them");
    stopWarning();
    StatusBar2->setPanelText(3, "Status -> Error.");
    platform::messageBox(text.toStdString(), "Status", platform::Buttons::Ok);
    return true;
}

void TForm1::lightRing(int ring, int position) {
    RingLed& r = rings[ring];
    if (r.ledCount() == 0) return;
    ringPos_[ring] = ringLit_[ring] = position % r.ledCount();
    r.lightPosition(ringPos_[ring]);
}

void TForm1::stepRing(int ring, int position) {
    RingLed& r = rings[ring];
    if (r.ledCount() == 0) return;
    ringPos_[ring] = position % r.ledCount();
    if (ringPos_[ring] != ringLit_[ring]) lightRing(ring, ringPos_[ring]);
}

void TForm1::lightAllAt(int position) {
    for (int i = 0; i < 3; ++i) lightRing(i, position);
}

void TForm1::startPacketTransfer() {
    sending_ = true;
    sleepLock().acquire();
    lockPorts(true);
    CGauge1->show();
    CGauge1->setProgress(0);
    CGauge1->setMaxValue(packetCount - 1);
    Button1->setEnabled(true);
    knobRim_->setKeyboardButton(true);
    knobRim_->show();
    knobRim_->setFocus();
}

int32_t TForm1::startPackets() {
    Label1->show();
    imageCursor += firmware::kPacketHeaderBytes;
    const int32_t L = packetPayloadSize + int32_t(firmware::kPacketHeaderBytes);
    imageSize = L;
    return L;
}

void TForm1::startPacketSender() {
    senderDone.store(false, std::memory_order_release);
    sender_ = std::make_unique<threader>(false, *this);
}

TForm1::Phase TForm1::packetSent(int32_t i, int32_t L) {
    // The reply may come before the sender has seen its block done.
    if (sender_) sender_->Wait();
    if (sender_ && !sender_->sentWhole()) return Phase::SendFailed;
    imageCursor += L;
    CGauge1->setProgress(i);
    stepRing(2, upload::ring2Position(i));
    const bool last = i == packetCount - 1;
    if (cancelRequested && !last) return Phase::Cancelled;
    sender_.reset();
    // Once the last packet is out the amplifier works on its own: there is
    // nothing left to cancel, and nothing half-sent to warn of at a close.
    if (last) {
        Label1->hide();
        sending_ = false;
        if (cancelRequested) tooLateToCancel();
    }
    return Phase::Done;
}

void TForm1::tooLateToCancel() {
    // The amplifier checks and programs the image whatever the program does
    // now: the run goes on and follows it, as if nobody had pressed.
    cancelRequested = false;
    platform::messageBox(kTooLateToCancel, "Status", platform::Buttons::Ok);
}

void TForm1::Button2Click() {
    if (runActive_) return;  // one run at a time; the menus stay live meanwhile
    outcome_ = RunOutcome::NotStarted;
    if (!checkMidiOut()) return;
    runActive_ = true;
    // A cancel belongs to the run it was pressed in.
    cancelRequested = false;
    const auto ended = qScopeGuard([this] {
        sleepLock().release();
        sending_ = false;
        stopWarning();
        lockPorts(false);
        cancelRequested = false;
        Label1->hide();
        Image2->hide();
        knobRim_->setKeyboardButton(false);
        knobRim_->hide();
        runActive_ = false;
        UploadCode1->setEnabled(true);
        Firmware1->setEnabled(true);
        TestMidiConnection1->setEnabled(true);
    });
    UploadCode1->setEnabled(false);
    Firmware1->setEnabled(false);
    TestMidiConnection1->setEnabled(false);
    packetErrors = 0;
    for (int i = 0; i < 3; ++i) ringPos_[i] = ringLit_[i] = 0;
    finishUpload();

    sender_ = std::make_unique<threader>(true, *this);
    imageStart = imageCursor;
    try {
        bool reset = true;
        if (uploadMode == 1 || uploadMode == 2) {
            if (!lineClear()) {
                resetCodeUpload();
                return;
            }
        }
        // Blinking from here: not under the question before it.
        Timer3.setEnabled(true);
        switch (uploadMode) {
            case 0: platform::messageBox("Select Firmware file", "File Error", platform::Buttons::Ok); break;
            case 1: reset = singleMessageTransfer(); break;
            case 2:
                reset = midiInReady && fileVersion > upload::kLastOpenLoopVersion ? handshakeTransfer()
                                                                                    : openLoopTransfer();
                break;
            default: break;
        }
        if (reset) resetCodeUpload();
    } catch (const RunAborted&) {
        resetCodeUpload();
    }
    if (closeRequested_) QTimer::singleShot(0, this, [this] { close(); });
}

bool TForm1::singleMessageTransfer() {
    sending_ = true;
    sleepLock().acquire();
    lockPorts(true);
    lightAllAt(0);
    senderDone.store(false, std::memory_order_release);
    CGauge1->setProgress(0);
    CGauge1->show();
    CGauge1->setMaxValue(100);
    tickCount = 0;
    const uint32_t interval = upload::singleTickInterval(imageSize);
    Timer1.setInterval(interval);
    // While the image goes out, each pass runs Timer1's ticks that fell due
    // since the last one (one per interval since the start), instead of
    // waking the window every few milliseconds for a count only the next
    // pass reads. Timer1 itself runs the ticks left once the send is done.
    const uint32_t t0 = platform::GetTickCount();
    uint32_t ticksRun = 0;
    const auto runDueTicks = [&] {
        const uint32_t due = std::min<uint32_t>((platform::GetTickCount() - t0) / interval, 1000);
        for (; ticksRun < due; ++ticksRun) Timer1Timer();
    };
    sender_->Start();
    {
        // What changed on the gauge and the rings is drawn in one go when
        // the pass handles its messages, while it waits for the next frame
        // or the end of the send without spinning.
        const TImage::DeferRepaints together;
        while (!senderDone.load(std::memory_order_acquire)) {
            runDueTicks();
            const int t = tickCount;
            CGauge1->setProgress(t / 10);
            stepRing(0, t + 1);
            stepRing(1, (t + 1) / 10);
            stepRing(2, (t + 1) / 100);
            idle(kFramePassMs);
        }
    }
    runDueTicks();
    if (ticksRun < 1000) Timer1.setEnabled(true);
    if (!sender_->sentWhole()) return sendFailed();
    sending_ = false;
    sender_.reset();
    Label3->show();
    flashVfyShow(imageSize / 75000 + 7);
    flashPrgShow(imageSize / 75000 + 9);
    outcome_ = RunOutcome::Sent;
    const bool boxes = transferEnded();
    if (!lineWasDisturbed() && boxes) platform::messageBox(kFirmwareSent, "File Sent", platform::Buttons::Ok);
    return true;
}

bool TForm1::openLoopTransfer() {
    startPacketTransfer();
    if (!MidiOut1->SysEx(imageCursor, int(firmware::kPacketHeaderBytes))) return sendFailed();
    handleMessages();
    lightAllAt(0);
    pause(2000);
    const int32_t L = startPackets();
    const uint32_t step = upload::openLoopStepMs(L);
    const int n0 = rings[0].ledCount();
    for (int32_t i = 0; i < packetCount; ++i) {
        startPacketSender();
        do {
            handleMessages();
            for (int p = 0; p < n0; ++p) {
                rings[0].lightPosition(p);
                handleMessages();
                pause(step);
                handleMessages();
            }
            stepRing(1, ringPos_[1] + 1);
        } while (!senderDone.load(std::memory_order_acquire));
        const Phase p = packetSent(i, L);
        if (p == Phase::SendFailed) return sendFailed();
        if (p == Phase::Cancelled) {
            cancelPath();
            return false;
        }
    }
    Label1->hide();
    flashVfyShow(19);
    flashPrgShow(12);
    outcome_ = RunOutcome::Sent;
    const bool boxes = transferEnded();
    if (lineWasDisturbed()) return true;
    if (boxes) platform::messageBox(kFirmwareSent, "Status", platform::Buttons::Ok);
    if (fileVersion > upload::kLastOpenLoopVersion) usbSetupPrompts(false);
    return true;
}

bool TForm1::handshakeTransfer() {
    if (!versionAccepted()) {
        outcome_ = RunOutcome::Declined;
        return true;
    }
    startPacketTransfer();
    outcome_ = RunOutcome::TimedOut;  // until a phase says otherwise
    Phase p = readyPhase();
    if (p == Phase::Done) p = packetsPhase();
    if (p == Phase::Done) p = verifyPhase();
    if (p == Phase::Done) p = programPhase();
    switch (p) {
        case Phase::Done: confirmPhase(); return true;
        case Phase::Silent: outcome_ = RunOutcome::TimedOut; return true;
        case Phase::SendFailed: return sendFailed();
        case Phase::Cancelled: cancelPath(); return false;
        case Phase::Refused: refusedForever();
        case Phase::Unverified:
        case Phase::Unprogrammed: stillWorking(p); return true;
    }
    return true;
}

bool TForm1::versionAccepted() {
    const uint32_t amp = ampVersion.load(std::memory_order_acquire);
    const char* question = nullptr;
    if (fileVersion < amp) question = "You are trying to load code that is older that the current revision, Continue?";
    else if (fileVersion == amp) question = "You are trying to load code that is the same as the current revision, Continue?";
    if (!question) return true;
    // Nothing is sent yet: no warning blinks under the question.
    Timer3.setEnabled(false);
    Label3->hide();
    const bool yes = platform::messageBox(question, "", platform::Buttons::OkCancel) == platform::IDOK;
    Timer3.setEnabled(yes);
    return yes;
}

TForm1::Phase TForm1::readyPhase() {
    clearReplies();
    if (!MidiOut1->SysEx(imageCursor, int(firmware::kPacketHeaderBytes))) return Phase::SendFailed;
    handleMessages();
    lightAllAt(0);
    pause(200);
    initTimeout(6000);
    StatusBar2->setPanelText(3, "Status -> Waiting for device ready to receive data.");
    while (!replied(upload::replyReady)) {
        handleMessages();
        if (timeoutCheck()) return Phase::Silent;
        pause(10);
    }
    return Phase::Done;
}

TForm1::Phase TForm1::packetsPhase() {
    const int32_t L = startPackets();
    const uint32_t step = upload::handshakeStepMs(L);
    const int n0 = rings[0].ledCount();
    for (int32_t i = 0; i < packetCount; ++i) {
        StatusBar2->setPanelText(
            3, QString("Status -> Sending packet number %1 of %2").arg(i + 1).arg(packetCount));
        clearReplies();
        startPacketSender();
        // The reply often comes within the pause below, which blocks the
        // window: let it draw what changed (the status, the cancel label)
        // first.
        handleMessages();
        pause(600);
        initTimeout(12000);
        while (!replied(upload::replyPacketAck)) {
            // A packet the port did not carry whole gets no answer worth waiting for.
            if (senderDone.load(std::memory_order_acquire) && !sender_->sentWhole()) return Phase::SendFailed;
            if (replied(upload::replyPacketError)) {
                ++packetErrors;
                StatusBar2->setPanelText(2, QString("Packet Error Count %1").arg(packetErrors));
                break;
            }
            if (timedOut && i == packetCount - 1 && senderDone.load(std::memory_order_acquire)) {
                // The whole image is out: an answer that did not come is no
                // sign the amplifier is not verifying it.
                sender_.reset();
                Label1->hide();
                sending_ = false;
                return Phase::Unverified;
            }
            if (timeoutCheck()) {
                // The sender may still be sending; it is waited for when the
                // next run starts or the window goes.
                strandedSender_ = std::move(sender_);
                return Phase::Silent;
            }
            handleMessages();
            lightRing(0, ringPos_[0] + 1);
            if (n0 > 0 && ringPos_[0] == n0 - 1) lightRing(1, ringPos_[1] + 1);
            pause(step);
        }
        if (const Phase p = packetSent(i, L); p != Phase::Done) return p;
    }
    return Phase::Done;
}

TForm1::Phase TForm1::verifyPhase() {
    initTimeout(20000);
    StatusBar2->setPanelText(3, "Status -> Waiting for code Verify.");
    // The verify and programming replies count from the last packet's clear:
    // they may come while the window still waits on that packet.
    while (!replied(upload::replyVerified) && !replied(upload::replyVerifyStop)) {
        handleMessages();
        flashVfyShow(1);
        if (timedOut) return Phase::Unverified;
    }
    return replied(upload::replyVerified) ? Phase::Done : Phase::Refused;
}

TForm1::Phase TForm1::programPhase() {
    Label1->hide();
    initTimeout(20000);
    StatusBar2->setPanelText(3, "Status -> Waiting for code program complete.");
    while (!replied(upload::replyProgrammed)) {
        handleMessages();
        flashPrgShow(1);
        if (timedOut) return Phase::Unprogrammed;
    }
    return Phase::Done;
}

void TForm1::stillWorking(Phase p) {
    // The image is all out and the amplifier has not finished with it: it is
    // not the amplifier's silence that says the update failed, and a power
    // cycle now could ruin it. The warning stays, steady, under the box.
    outcome_ = RunOutcome::StillWorking;
    Timer3.setEnabled(false);
    Label3->show();
    deSelectCurrentMidi();
    StatusBar2->setPanelText(3, kStillWorkingStatus);
    platform::messageBox(p == Phase::Unverified ? kStillVerifying : kStillProgramming, "Status",
                         platform::Buttons::Ok);
}

void TForm1::refusedForever() {
    // The amplifier refused the image: the verify pattern goes on until the
    // user closes the program, and the window says what happened and what to
    // do instead of warning of a programming that will not come. Nothing is
    // written any more, so the computer may sleep again.
    outcome_ = RunOutcome::Refused;
    stopWarning();
    Label1->hide();
    CGauge1->hide();
    lockPorts(false);
    sleepLock().release();
    StatusBar2->setPanelText(3, kAmpRefused);
    for (;;) {
        handleMessages();
        flashVfyShow(1);
    }
}

void TForm1::confirmPhase() {
    // Programmed: from here on only the new version is in doubt.
    stopWarning();
    deSelectCurrentMidi();
    outcome_ = RunOutcome::Unconfirmed;
    if (transferEnded()) {
        platform::messageBox("Looks good! Unplug the USB cable and power cycle the amp.", "Status",
                             platform::Buttons::Ok);
        pause(1000);
        platform::messageBox("Now plug in the USB cable and wait for the KOLVA to enumerate.", "Status",
                             platform::Buttons::Ok);
    }

    StatusBar2->setPanelText(3, "Status -> Waiting for USB enumeration.");
    pause(5000);
    populateMidiSelect();
    platform::messageBox("Now select the MIDI device.", "Status", platform::Buttons::Ok);
    waitForBothPorts();

    awaitedVersion.store(expectedVersion, std::memory_order_release);
    const auto notAwaited = qScopeGuard([this] { awaitedVersion.store(kNoVersion, std::memory_order_release); });
    clearReplies();
    initTimeout(5000);
    for (int i = 0; i < 3; ++i) MidiOut1->SysEx(upload::identityRequest, int(sizeof upload::identityRequest));
    // Every device on the line answers, the amp not necessarily first or
    // last: the new version counts from any answer, and an answer of another
    // version waits a moment for the others to the same requests.
    bool answered = false;
    uint32_t answeredAt = 0;
    while (!awaitedVersionSeen.load(std::memory_order_acquire)) {
        if (replied(upload::replyIdentity)) {
            if (!answered) answeredAt = platform::GetTickCount();
            answered = true;
            if (timedOut || platform::GetTickCount() - answeredAt >= kOtherAnswersMs) break;
        }
        handleMessages();
        if (!replied(upload::replyIdentity) && timeoutCheck()) return;
        idle(kWaitPassMs);
    }
    if (awaitedVersionSeen.load(std::memory_order_acquire)) {
        outcome_ = RunOutcome::Confirmed;
        platform::messageBox(kConfirmed, "Status", platform::Buttons::Ok);
        StatusBar2->setPanelText(3, "Status -> Complete.");
    } else {
        outcome_ = RunOutcome::WrongVersion;
        platform::messageBox("Fail, code rev is wrong. Power cycle the amp and try again.", "Status",
                             platform::Buttons::Ok);
        StatusBar2->setPanelText(3, "Status -> Error.");
    }
}

void TForm1::waitForBothPorts() {
    // No time-out: the user chooses both devices in the Midi menu meanwhile.
    while (!(midiOutReady && midiInReady)) {
        handleMessages();
        idle(kWaitPassMs);
    }
}

void TForm1::cancelPath() {
    sending_ = false;
    stopWarning();
    handleMessages();
    outcome_ = RunOutcome::Cancelled;
    platform::messageBox("User terminated code upload. Power cycle amp.", "Status", platform::Buttons::Ok);
    StatusBar2->setPanelText(3, "Status -> Upload Terminated.");
    cancelRequested = false;
    imageCursor = imageStart;
    sender_.reset();
    for (RingLed& r : rings) r.allOff();
    CGauge1->hide();
}

void TForm1::usbSetupPrompts(bool secondForm) {
    if (platform::messageBox("Do you want to setup the KOLVA USB MIDI interface?", "Status",
                             platform::Buttons::YesNo) != platform::IDYES)
        return;
    if (!secondForm) pause(1000);
    platform::messageBox(secondForm ? "Plug in usb cable and let the windows install finish."
                                    : "Plug in usb cable and let the Windows Driver install finish.",
                         "Status", platform::Buttons::Ok);
    pause(2000);
    populateMidiSelect();
    platform::messageBox("Let's test the connection, select the MIDI device.", "Status", platform::Buttons::Ok);
    waitForBothPorts();
    if (showTestWindow) showTestWindow();
    if (ampVersion.load(std::memory_order_acquire) == expectedVersion) {
        platform::messageBox(kConfirmed, "Status", platform::Buttons::Ok);
        StatusBar2->setPanelText(3, "Status -> Complete.");
    }
}

void TForm1::Button3Click() {
    if (runActive_) return;
    runActive_ = true;
    try {
        usbSetupPrompts(true);
    } catch (const RunAborted&) {
    }
    runActive_ = false;
    if (closeRequested_) QTimer::singleShot(0, this, [this] { close(); });
}

bool TForm1::transferEnded() {
    stopWarning();
    lockPorts(false);
    imageCursor = imageStart;
    CGauge1->hide();
    // Under the wizard, the wizard comes to the front instead of the boxes.
    if (wizardActive) {
        bringWizardToFront();
        return false;
    }
    resetCodeUpload();
    return true;
}

void TForm1::bringWizardToFront() {
    if (raiseWizard) raiseWizard();
}

void TForm1::resetCodeUpload() {
    Timer1.setEnabled(false);
    stopWarning();
    for (RingLed& r : rings) r.allOff();
    imageCursor = imageStart;
    CGauge1->hide();
    StatusBar2->setPanelText(2, " ");
}

void TForm1::Timer1Timer() {
    if (uploadMode != 1) return;
    if (++tickCount >= 1000) {
        CGauge1->setProgress(100);
        Timer1.setEnabled(false);
    }
}

void TForm1::Timer3Timer() { Label3->setVisible(!Label3->isVisible()); }

void TForm1::CancelMouseDown() { Image2->show(); }

void TForm1::CancelMouseUp() {
    // Only a packet transfer in progress can be cancelled.
    if (runActive_ && !Label1->isHidden()) cancelRequested = true;
    Label1->hide();
    Image2->hide();
}
