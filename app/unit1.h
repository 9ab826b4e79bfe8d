#pragma once
// The main window. Its members are implemented in the folders of the
// subsystems that own them: the firmware loader in firmware/, device
// selection in midi/, the LED rings and light shows in leds/; the window
// itself, its construction, close and settings in app/.

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/widgets/tcgauge.h"
#include "platform/widgets/timage.h"
#include "platform/widgets/tmemo.h"
#include "platform/widgets/tstatusbar.h"
#include "leds/ringledunit.h"
#include "upload/device_messages.h"

class TMidiOut;
class TMidiIn;
class threader;
class TLEDImage;
class RingLed;
class TShape;

// Where the window keeps its settings; the program computes it from its own
// path, tests pass a file of their own.
struct Form1Options {
    std::string iniPath;
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(const Form1Options& options, QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- window: app/ -------------------------------------------------------
    QWidget* client = nullptr;  // the client area, parent of every control
    TImage* Image1 = nullptr;
    TImage* Image2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    TStatusBar* StatusBar1 = nullptr;
    TCGauge* CGauge1 = nullptr;
    TStatusBar* StatusBar2 = nullptr;
    TMemo* Memo1 = nullptr;
    TMemo* Memo2 = nullptr;
    TMemo* Memo3 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button1 = nullptr;

    QMenu* File1 = nullptr;
    QMenu* Midi1 = nullptr;
    QMenu* Run1 = nullptr;
    QAction* Firmware1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* StartupHelp1 = nullptr;
    QMenu* Out1 = nullptr;
    QMenu* In1 = nullptr;
    QAction* None = nullptr;
    QAction* NoneIn = nullptr;
    QAction* TestMidiConnection1 = nullptr;
    QAction* UploadCode1 = nullptr;

    platform::TTimer Timer1;
    platform::TTimer Timer2;
    platform::TTimer Timer3;
    platform::TTimer Timer4;

    const std::string& iniPath() const { return iniPath_; }
    // The window's top and left edges in screen pixels, as the settings keep them.
    int Top() const;
    // Whether the window system tells where the window is (Wayland does not).
    static bool positionKnown();
    int Left() const;
    void setPosition(int top, int left);

    void Exit1Click();
    void StartupHelp1Click();
    void Timer2Timer();
    // WM_DEVICECHANGE: logged to the three diagnostic lists, nothing else.
    void deviceChange(uint32_t wParam, uint32_t lParam);
    // Called by the program entry once the hidden windows exist.
    void startWizardTimer();

    // ---- firmware file: firmware/ -------------------------------------------
    static constexpr size_t kImageStoreSize = 1048576;
    std::unique_ptr<uint8_t[]> imageStore;
    const uint8_t* imageCursor = nullptr;
    int32_t imageSize = 0;
    // The bytes available at imageCursor; the upload never sends past them.
    int32_t imageAvailable = 0;
    const uint8_t* imageEnd = nullptr;  // imageCursor + imageAvailable when loaded
    char firmwarePath[1024] = {};  // 255 characters of UTF-8
    bool useInternalImage = false;
    int32_t uploadMode = 0;
    int32_t packetCount = 0;
    int32_t packetPayloadSize = 0;
    uint32_t fileVersion = 0;
    uint32_t expectedVersion = 0;
    char fileVersionText[6] = {};

    // Loads a firmware file (or the built-in image) and returns its upload
    // mode. Refused, keeping the loaded image and mode, while a run is active.
    int ReadFile(const char* path);
    static constexpr const char* kLoadDuringRun =
        "An update is running. Load another firmware file when it has ended.";
    void Firmware1Click();

    // ---- MIDI transport: midi/ ----------------------------------------------
    TMidiOut* MidiOut1 = nullptr;
    TMidiIn* MidiIn1 = nullptr;
    int selectedOutPort = -1;
    int selectedInPort = -1;
    bool midiOutReady = false;
    bool midiInReady = false;

    void createMidiPorts();   // construction: MidiOut1, MidiIn1
    void closeMidiPorts();    // close: Using = false on MidiOut1, then MidiIn1
    void destroyMidiPorts();  // destruction
    void populateMidiSelect();
    void Dev1Click(QAction* Sender);
    // A choice from the Midi menu (or the wizard's device list).
    void userChoosesPort(QAction* entry, void (TForm1::*click)(QAction*));
    void NoneInClick(QAction* Sender);
    bool checkMidiOut();
    void deSelectCurrentMidi();
    void reSelectCurrentMidi();
    // The other programs that can send to the amp through its port, by name.
    std::vector<std::string> otherProgramsOnPorts() const;
    // Hands the device changes the MIDI service reported to deviceChange().
    Q_INVOKABLE void drainDeviceChanges();

    // ---- device messages and the response time-out: upload/ ---------------
    // Written by the MIDI input thread: the version before the code, so a
    // reader that sees replyIdentity also sees the new version.
    std::atomic<int32_t> replyCode{0};
    // Every code since a wait last cleared replyCode; waits end on these.
    upload::ReplySet repliesSeen;
    void clearReplies();
    bool replied(int32_t code) const { return repliesSeen.has(code); }
    std::atomic<uint32_t> ampVersion{0};
    // "dd.dd" of the last identity reply; read it with ampVersionString().
    char ampVersionText[6] = {};
    std::string ampVersionString() const;
    // The version the final check waits for (none: kNoVersion), and whether
    // an identity reply since the last clear carried it. A request to all
    // devices draws an answer from each on the line, the amp's in any place.
    static constexpr uint32_t kNoVersion = 0xFFFFFFFF;
    std::atomic<uint32_t> awaitedVersion{kNoVersion};
    std::atomic<bool> awaitedVersionSeen{false};
    bool timedOut = false;

    // The input port's SysEx event: one whole message, on the input thread.
    void MidiIn1SysEx(TMidiIn* Sender, uint8_t* data, int size);
    void initTimeout(uint32_t ms);
    bool timeoutCheck();
    void Timer4Timer();
    void TestMidiConnection1Click();
    // Carries out, on the UI thread, the window updates the input thread queued.
    Q_INVOKABLE void drainReplyLog();

    // ---- firmware upload: upload/ -------------------------------------------
    bool wizardActive = false;  // set and cleared by the startup help wizard only
    const uint8_t* imageStart = nullptr;
    std::atomic<bool> senderDone{false};
    bool cancelRequested = false;
    int32_t tickCount = 0;
    int32_t packetErrors = 0;

    void Button2Click();  // Run > Upload Code: one whole run
    // The windows the upload works with, wired by whoever makes them: the
    // wizard, brought to the front when a transfer under it ends, and the
    // MIDI test window, shown modally with its label hidden.
    std::function<void()> raiseWizard;
    std::function<void()> showTestWindow;
    std::function<void(const QString&)> showTestVersion;
    // What the wizard asks of this window: a stage's image loaded (the
    // built-in intermediate image or the file at path), returning the upload
    // mode; and an output device chosen by its name as the Midi menu lists it
    // (true when it opened).
    int32_t loadStageImage(bool intermediate, const char* path);
    bool chooseOutput(const QString& deviceName);
    void resetCodeUpload();
    void Timer1Timer();
    void Timer3Timer();
    void CancelMouseDown();
    void CancelMouseUp();
    void Button3Click();  // the USB MIDI set-up prompts alone
    bool uploadRunning() const { return runActive_; }
    // How the last run ended. Only Sent and Confirmed put an image into the
    // amplifier as far as the program can tell.
    // Disturbed: sent while another program was connected to the amplifier's
    // port, with no reply to tell whether it arrived whole. Unconfirmed: the
    // amplifier said it was programmed, but its version did not come back.
    // WrongVersion: it came back with another version. StillWorking: the
    // whole image went out, but the amplifier had not said it was verified
    // and programmed when the wait ended; it may still be at work.
    enum class RunOutcome {
        NotStarted,
        Sent,
        Confirmed,
        Failed,
        TimedOut,
        Declined,
        Cancelled,
        Refused,
        Disturbed,
        Unconfirmed,
        WrongVersion,
        StillWorking
    };
    RunOutcome lastRunOutcome() const { return outcome_; }
    bool lastRunSucceeded() const { return outcome_ == RunOutcome::Sent || outcome_ == RunOutcome::Confirmed; }
    // While a transfer talks to the amplifier the user cannot switch, close
    // or test the ports: the menus are disabled and their entries ignored.
    bool portsLocked() const { return portsLocked_; }
    static constexpr const char* kSendFailed =
        "The firmware was not sent: the MIDI output stopped taking data. Check the cable and the MIDI device, "
        "choose the device again and retry.";
    static constexpr const char* kAmpRefused =
        "Status -> Error: the amp refused the firmware. Close the program, power cycle the amp and try again.";
    static constexpr const char* kCloseDuringTransfer =
        "An update is running. If you close now, the amp is left waiting for the rest of the firmware: power cycle "
        "it and update it again. Close anyway?";
    // A cancel that comes while the last packet goes out stops nothing.
    static constexpr const char* kTooLateToCancel =
        "Too late to stop: the last packet had already gone out, so the amp has all of the firmware and is checking "
        "it. Do not turn the amp off; the update goes on.";
    // No answer once the whole image is out: the amplifier may still be at it.
    static constexpr const char* kStillVerifying =
        "The amp has all of the firmware but has not said that it verified it. It may still be verifying and "
        "programming it, so do not turn it off. Wait for it to restart on its own, then choose the MIDI device "
        "again and read its version with Midi > Test Connection. If it has not restarted after five minutes, power "
        "cycle it and update it again.";
    static constexpr const char* kStillProgramming =
        "The amp verified the firmware but has not said that programming is complete. It may still be programming, "
        "so do not turn it off. Wait for it to restart on its own, then choose the MIDI device again and read its "
        "version with Midi > Test Connection. If it has not restarted after five minutes, power cycle it and update "
        "it again.";
    static constexpr const char* kStillWorkingStatus = "Status -> Wait for the amp to restart.";

    // ---- LED mimic: leds/ ---------------------------------------------------
    TLEDImage* sLED1 = nullptr;
    std::array<TLEDImage*, 36> LEDImage{};  // LEDImage[1] .. LEDImage[35]; [0] unused
    RingLed rings[3];                       // 0 left, 1 middle, 2 right ring of the panel

    void createLeds();   // construction: the 36 LED controls as the form lists them
    void destroyRings();
    void init_leds();
    void flashVfyShow(int sweeps);
    void flashPrgShow(int sweeps);

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    // upload/
    void installUploadControls();
    void finishUpload();
    bool closeDuringRun();
    void handleMessages();
    void pause(uint32_t ms);
    void idle(uint32_t ms);  // handles messages meanwhile
    void lockPorts(bool locked);
    bool sendFailed();  // reports a block that did not go out whole
    // Before a transfer: another program on the amplifier's line is named,
    // and the user may stop. False when the run ends here.
    bool lineClear();
    // After a transfer no reply vouches for: true (and said) when another
    // program was on the line meanwhile.
    bool lineWasDisturbed();
    // The other programs on the line during this run: those there after the
    // question, and any there now. Empty outside a run.
    const std::vector<std::string>& othersOnLine();
    QString othersOnLineNames();
    std::vector<std::string> othersOnLine_;
    void lightRing(int ring, int position);  // lights it whatever was lit
    void stepRing(int ring, int position);   // lights it when it moved
    void lightAllAt(int position);
    void startPacketTransfer();
    int32_t startPackets();  // past the header; returns a packet message's length
    void startPacketSender();
    // How a phase of a packet transfer ended. Silent: no answer in time
    // before the whole image was out (already reported). Unverified and
    // Unprogrammed: no answer in time after it was.
    enum class Phase { Done, Silent, SendFailed, Cancelled, Refused, Unverified, Unprogrammed };
    Phase packetSent(int32_t i, int32_t L);
    bool singleMessageTransfer();
    bool openLoopTransfer();
    bool handshakeTransfer();  // true when the display is to be reset
    bool versionAccepted();
    Phase readyPhase();
    Phase packetsPhase();
    Phase verifyPhase();
    Phase programPhase();
    void confirmPhase();
    void stillWorking(Phase p);
    [[noreturn]] void refusedForever();
    void tooLateToCancel();
    void waitForBothPorts();
    void cancelPath();
    void usbSetupPrompts(bool secondForm);
    void bringWizardToFront();
    // The end of a transfer: true when its own end-of-transfer boxes follow.
    bool transferEnded();
    std::unique_ptr<threader> sender_;
    std::unique_ptr<threader> strandedSender_;  // left running by a time-out
    int ringPos_[3] = {};
    int ringLit_[3] = {};
    bool runActive_ = false;
    bool closeRequested_ = false;
    bool sending_ = false;  // image data on its way: closing asks first
    TShape* knobRim_ = nullptr;  // the whole knob as the cancel control
    bool portsLocked_ = false;
    // "Programming in Progress" stops blinking and goes.
    void stopWarning();
    RunOutcome outcome_ = RunOutcome::NotStarted;

    void buildControls();
    void buildMenu();
    void readSettings();
    void FormClose();
    std::string iniPath_;
    mutable std::mutex ampVersionMutex_;
    struct ReplyLogEntry {
        QString line;
        QString version;  // identity replies only
    };
    std::mutex deviceChangeMutex_;
    std::vector<std::pair<uint32_t, uint32_t>> deviceChanges_;
    std::mutex replyLogMutex_;
    std::vector<ReplyLogEntry> replyLog_;
    bool closed_ = false;
    bool showWizardAtStart_ = false;
};

extern TForm1* Form1;
