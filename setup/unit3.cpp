#include "setup/unit3.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGuiApplication>
#include <QMenu>
#include <QTimer>
#include <QWindow>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>

#include "app/application.h"
#include "app/settings.h"
#include "app/unit1.h"
#include "midi/midi_out.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/widgets/accessible.h"
#include "platform/widgets/fit_text.h"
#include "platform/widgets/timage.h"
#include "platform/widgets/tshape.h"

TForm3* Form3 = nullptr;

namespace {

constexpr const char* kWelcome = "Welcome to the Kolva Updater. Are you ready to get started?";
constexpr const char* kConnect =
    "Connect the MIDI out from your computer to the Kolva's Remote Switch jack. Turn down the master volume "
    "completely, plugin your guitar, then turn on amp.";
constexpr const char* kSelectDevice = "Select your MIDI device from the drop down menu.";
constexpr const char* kTestConnection =
    "Click test button to check MIDI connection. The Kolva presets should change if the MIDI connection is working.";
constexpr const char* kRevisionMode =
    "Turn off the amp. Hold down preset buttons 1 and 4 on the amp and turn the power back on.";
constexpr const char* kReadRevision =
    "The LEDs around the StompBoxes, Amps, and Effects knobs will indicate the current Firmware revision. Select the "
    "matching devices to build the current firmware revision number.";
constexpr const char* kRestartAmp = "Now turn the amp OFF, wait 5 seconds and turn the amp back ON.";
constexpr const char* kChooseFile = "Select the latest firmware file you downloaded from Morvex.";
constexpr const char* kReady =
    "Let's start. The program will update intermediate code if needed, then load the latest code.";
constexpr const char* kFirstStageDone =
    "First stage complete! The amp should have rebooted and there should be a bouncing ball light show on the three "
    "encoder rings. If not, wait a few minutes then restart the amp and check the firmware revision. If no update "
    "happened, close this program and restart to try again. Otherwise, let's start the next phase.";
constexpr const char* kDone = "Final stage complete! The amp should have rebooted and you should now have the latest code.";
// A stage that did not put its image into the amplifier is offered again,
// with what happened and what to do about it. Each speaks of this stage
// only: an earlier stage may well have updated the amp.
constexpr const char* kStageNotSent =
    "This stage's firmware was not sent. Check the MIDI device and the firmware file, then press the arrow to try "
    "this stage again.";
constexpr const char* kStageCancelled =
    "You stopped this stage before all of its firmware was sent, so it changed nothing in the amp. Power cycle the "
    "amp, then press the arrow to try this stage again.";
constexpr const char* kStageDeclined =
    "This stage's firmware was not sent. Press the arrow when you want to try this stage again.";
constexpr const char* kStageNoAnswer =
    "The amp stopped answering before all of this stage's firmware was sent, so it changed nothing in the amp. Power "
    "cycle the amp, check the MIDI connection, then press the arrow to try this stage again.";
constexpr const char* kStageRefused =
    "The amp refused this stage's firmware and kept the code it had. Close this program, power cycle the amp and try "
    "again.";
constexpr const char* kStageWrongVersion =
    "The amp was programmed, but it came back with another version than this stage's firmware. Power cycle the amp, "
    "then press the arrow to send this stage again.";
constexpr const char* kStageStillWorking =
    "The amp has all of this stage's firmware and may still be programming it, so do not turn it off. Wait for it to "
    "restart on its own, then read its version (turn it off, hold down preset buttons 1 and 4 and turn it back on). "
    "If it is not the new version, or it has not restarted after five minutes, power cycle it and press the arrow to "
    "send this stage again.";
constexpr const char* kStageDisturbed =
    "Another program was connected to the amp's MIDI port while the firmware was sent, so the amp may not have "
    "received it whole. Close that program, power cycle the amp, then press the arrow to try this stage again.";
constexpr const char* kStageUnconfirmed =
    "The amp was programmed, but its new version could not be confirmed. Power cycle the amp and read its version "
    "(hold down preset buttons 1 and 4 while you turn it on). If it is not the new version, press the arrow to send "
    "this stage again.";

const char* stageFailedText(TForm1::RunOutcome o) {
    using O = TForm1::RunOutcome;
    switch (o) {
        case O::Cancelled: return kStageCancelled;
        case O::Declined: return kStageDeclined;
        case O::TimedOut: return kStageNoAnswer;
        case O::Refused: return kStageRefused;
        case O::Disturbed: return kStageDisturbed;
        case O::Unconfirmed: return kStageUnconfirmed;
        case O::WrongVersion: return kStageWrongVersion;
        case O::StillWorking: return kStageStillWorking;
        default: return kStageNotSent;
    }
}
constexpr const char* kRunBusy = "An update is already running. Wait until it has ended, then try again.";

// A stage or a test while the main window's run is still going would talk to
// the amplifier in the middle of it: refused with a word to the user.
bool refusedDuringRun(const TForm1* f) {
    if (!f || !f->uploadRunning()) return false;
    platform::messageBox(kRunBusy, "Status", platform::Buttons::Ok);
    return true;
}

QFont face(const char* family, int pixels, bool bold) {
    QFont f(family);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

TImage* picture(QWidget* parent, const char* name, const char* resource, QRect geometry, bool transparent,
                bool shown) {
    TImage* img = TImage::make(parent, name, resource, geometry, transparent);
    img->setVisible(shown);
    return img;
}

TShape* mouseCircle(QWidget* parent, const char* name, QRect geometry, bool enabled) {
    auto* s = new TShape(parent);
    s->setObjectName(name);
    s->setGeometry(geometry);
    s->setKind(TShape::Kind::Circle);
    s->setNoPen();
    s->setClearBrush();
    s->setEnabled(enabled);
    return s;
}

TShape* marker(QWidget* parent, const char* name) {
    auto* s = new TShape(parent);
    s->setObjectName(name);
    s->setGeometry(0, 0, 10, 10);
    s->setKind(TShape::Kind::Circle);
    s->setPen(Qt::black, 1);
    s->setBrush(Qt::red);
    s->hide();
    return s;
}

QComboBox* list(QWidget* parent, const char* name, QRect geometry, const char* prompt) {
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    c->setGeometry(geometry);
    c->setFont(face("Futura Hv", 11, false));
    c->setPlaceholderText(prompt);
    c->setCurrentIndex(-1);
    c->hide();
    return c;
}

}  // namespace

TForm3::~TForm3() {
    if (Form3 == this) Form3 = nullptr;
    if (TForm1* f = qobject_cast<TForm1*>(parentWidget())) f->raiseWizard = nullptr;
}

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
    Form3 = this;
    setObjectName("Form3");
    setWindowTitle("Welcome!");
    // No title bar: a one-pixel border around a 467 x 350 client area. A
    // window of its own rather than a dialog of the main window: a window
    // manager keeps a dialog above its owner, and during a stage the main
    // window, with its progress and cancel control, must come to the front.
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setFixedSize(467, 350);
    setModal(false);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0x16, 0x16, 0x18));
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);

    // Back to front.
    Image1 = picture(this, "Image1", ":/images/wizard_background.png", {0, 0, 467, 350}, false, true);
    Image3 = picture(this, "Image3", ":/images/next_idle.png", {204, 242, 68, 68}, true, true);
    Image9 = picture(this, "Image9", ":/images/testmidi_pressed.png", {138, 244, 66, 66}, true, false);

    Label1 = new QLabel(this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(49, 133, 377, 123);
    // At the top: the lists and buttons of some steps lie in its lower part.
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label1->setWordWrap(true);
    Label1->setStyleSheet("color: white; background: transparent;");
    setInstruction(kWelcome);

    Image2 = picture(this, "Image2", ":/images/next_pressed.png", {204, 242, 68, 68}, true, false);
    Shape1 = mouseCircle(this, "Shape1", {210, 249, 57, 53}, true);
    Shape1->OnMouseDown = [this](Qt::MouseButton b) { Shape1MouseDown(b); };
    Shape1->OnMouseUp = [this](Qt::MouseButton b) { Shape1MouseUp(b); };
    Shape1->setKeyboardButton(true);
    Image4 = picture(this, "Image4", ":/images/testmidi_idle.png", {138, 244, 66, 66}, true, false);
    Shape2 = mouseCircle(this, "Shape2", {143, 249, 58, 57}, false);
    Shape2->OnMouseDown = [this](Qt::MouseButton b) { Shape2MouseDown(b); };
    Shape2->OnMouseUp = [this](Qt::MouseButton b) { Shape2MouseUp(b); };
    Shape2->setKeyboardButton(true);
    Image5 = picture(this, "Image5", ":/images/amp_front.png", {103, 20, 263, 107}, false, false);

    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setGeometry(450, 4, 13, 16);
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    SpeedButton1->setIcon(QIcon(":/images/close.png"));
    SpeedButton1->setIconSize(QSize(16, 16));
    SpeedButton1->setStyleSheet("QToolButton { border: none; background: transparent; }");
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { app::guarded([this] { Button1Next10Click(); }); });

    Label2 = new QLabel("x.xx", this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(213, 311, 46, 31);
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setFont(face("Futura Hv", 24, false));
    Label2->setStyleSheet("color: white; background: transparent;");
    fitLabelText(Label2);
    Label2->hide();
    Shape3 = marker(this, "Shape3");
    Shape4 = marker(this, "Shape4");
    Shape5 = marker(this, "Shape5");

    // The buttons, the check box and the lists lie above the drawn controls.
    Button1 = new QPushButton("Next", this);  // first in the tab order
    Button1->setObjectName("Button1");
    Button1->setGeometry(99, 427, 75, 26);
    // Enter runs the step only while this button has the focus (keyPressEvent);
    // Escape runs it from anywhere (reject below).
    Button1->setAutoDefault(false);
    Button1->setDefault(false);
    connect(Button1, &QPushButton::clicked, this, [this] { runStep(); });
    // It lies outside the window: the keyboard reaches the step through the
    // arrow (Shape1), which shows its focus.
    Button1->setFocusPolicy(Qt::NoFocus);

    CheckBox1 = new QCheckBox("Do not show this next time", this);
    CheckBox1->setObjectName("CheckBox1");
    CheckBox1->setGeometry(152, 321, 199, 14);
    CheckBox1->setFont(face("Futura Bk", 11, true));
    // The style draws the box in the base colour, its outline from the window
    // colour and the tick in the text colour: a light outline and tick on a
    // dark box, so both show on the dark background.
    QPalette box = CheckBox1->palette();
    box.setColor(QPalette::WindowText, Qt::white);
    box.setColor(QPalette::Window, QColor(0xE0, 0xE0, 0xE0));
    box.setColor(QPalette::Base, QColor(0x1C, 0x1C, 0x1E));
    box.setColor(QPalette::Text, Qt::white);
    CheckBox1->setPalette(box);
    connect(CheckBox1, &QCheckBox::clicked, this, [this] { app::guarded([this] { CheckBox1Click(); }); });

    Button2 = new QPushButton("Test Midi", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(248, 426, 75, 27);
    Button2->hide();
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });

    ComboBox1 = list(this, "ComboBox1", {141, 195, 178, 23}, "Midi Out Devices");
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this] { app::guarded([this] { ComboBox1Change(); }); });
    ComboBox2 = list(this, "ComboBox2", {39, 217, 111, 23}, "Stompboxes");
    ComboBox3 = list(this, "ComboBox3", {175, 218, 114, 23}, "Amps");
    ComboBox4 = list(this, "ComboBox4", {309, 217, 120, 23}, "Effects");
    const std::pair<QComboBox*, setup::Ring> rings[] = {
        {ComboBox2, setup::Ring::Stompbox}, {ComboBox3, setup::Ring::Amp}, {ComboBox4, setup::Ring::Effects}};
    for (const auto& [box, ring] : rings) {
        // The panel picture numbers the LEDs: each entry says which it is.
        const auto& entries = setup::ringEntries(ring);
        for (size_t k = 0; k < entries.size(); ++k) {
            box->addItem(entries[k].empty() ? QString()
                                            : QString::fromUtf8("%1 \u2013 %2").arg(k).arg(QString::fromStdString(entries[k])));
            if (entries[k].empty()) box->setItemData(box->count() - 1, "Blank", Qt::AccessibleTextRole);
        }
        box->setCurrentIndex(-1);
    }
    connect(ComboBox2, &QComboBox::currentIndexChanged, this, [this] { ComboBox2Change(); });
    connect(ComboBox3, &QComboBox::currentIndexChanged, this, [this] { ComboBox3Change(); });
    connect(ComboBox4, &QComboBox::currentIndexChanged, this, [this] { ComboBox4Change(); });
    Shape1->setFocus();
    // A transfer under the wizard ends with the wizard in front.
    if (TForm1* f = qobject_cast<TForm1*>(parent))
        f->raiseWizard = [this] {
            show();
            raise();
            activateWindow();
        };
    // Between stages the wizard stays over the main window, as a dialog of it
    // would, when the user turns to the main window or one of its menus;
    // after the window manager has raised that window.
    const auto keepInFront = [this] {
        const TForm1* f = main();
        if (!isVisible() || stepRunning_ || (f && f->uploadRunning())) return;
        QTimer::singleShot(0, this, [this] {
            if (isVisible() && !stepRunning_) raise();
        });
    };
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this, keepInFront](QWindow* w) {
        const TForm1* f = main();
        if (w && f && w == f->windowHandle()) keepInFront();
    });
    if (TForm1* f = qobject_cast<TForm1*>(parent))
        for (QMenu* m : {f->File1, f->Midi1, f->Run1})
            if (m) connect(m, &QMenu::aboutToHide, this, keepInFront);

    // What a screen reader says of the drawn controls.
    Image1->setAccessibleName("Welcome");
    Label1->setAccessibleName("Instruction");
    Shape1->setAccessibleName("Next");
    Shape2->setAccessibleName("Test MIDI");
    Shape2->setAccessibleDescription("Sends a program change to the amp: its preset should change");
    Image5->setAccessibleName("Amp front panel: the LEDs around the three knobs show the firmware version");
    SpeedButton1->setAccessibleName("Close");
    Button1->setAccessibleName("Next step");
    Button2->setAccessibleName("Test MIDI");
    ComboBox1->setAccessibleName("MIDI output device");
    ComboBox2->setAccessibleName("Lit LED around the StompBoxes knob");
    ComboBox3->setAccessibleName("Lit LED around the Amps knob");
    ComboBox4->setAccessibleName("Lit LED around the Effects knob");
    Label2->setAccessibleName("Firmware revision");
    // The buttons' pictures and the marks on the amp's picture are not
    // listed: the shapes over them are the controls, the revision boxes say
    // what the marks show. The step buttons parked outside are not listed.
    for (QWidget* w : {static_cast<QWidget*>(Image2), static_cast<QWidget*>(Image3), static_cast<QWidget*>(Image4),
                       static_cast<QWidget*>(Image9), static_cast<QWidget*>(Shape3), static_cast<QWidget*>(Shape4),
                       static_cast<QWidget*>(Shape5)})
        accessibility::leaveOut(w);
    accessibility::listChildren(this);
}

TForm1* TForm3::main() const {
    if (auto* f = qobject_cast<TForm1*>(parentWidget())) return f;
    return Form1;
}

void TForm3::setInstruction(const char* text) {
    stepText_ = text;
    Label1->setText(text);
    fitInstruction();
}

void TForm3::enableNext(bool on) {
    // The step button stands behind the arrow: Enter and Space reach it
    // whether or not the arrow takes the mouse, so the focus goes to the
    // button while the arrow is disabled and comes back with it.
    const bool hadFocus = focusWidget() == Shape1 || focusWidget() == Button1;
    Shape1->setEnabled(on);
    if (hadFocus) (on ? static_cast<QWidget*>(Shape1) : static_cast<QWidget*>(Button1))->setFocus();
}

void TForm3::fitInstruction() {
    // The text must end above the highest control shown in the label's area.
    int room = Label1->height();
    for (QWidget* w : {static_cast<QWidget*>(ComboBox1), static_cast<QWidget*>(ComboBox2),
                       static_cast<QWidget*>(ComboBox3), static_cast<QWidget*>(ComboBox4),
                       static_cast<QWidget*>(Image3), static_cast<QWidget*>(Image4)})
        if (w && !w->isHidden() && w->y() > Label1->y()) room = std::min(room, w->y() - Label1->y() - 4);
    fitLabelText(Label1, face("Futura Bk", 13, true), room);
}

void TForm3::runStep() {
    // A stage's upload keeps handling window events; a second press meanwhile
    // would start an upload inside the running one.
    if (stepRunning_) return;
    stepRunning_ = true;
    const StepAction action = step_;
    try {
        (this->*action)();
    } catch (const std::exception& e) {
        app::showException(e);
    }
    stepRunning_ = false;
    // The step may have shown controls under the instruction.
    fitInstruction();
}

void TForm3::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        // Never a default button: Enter elsewhere (the lists, the check box)
        // does nothing.
        if (focusWidget() == Button1 && e->modifiers() == Qt::NoModifier) Button1->click();
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void TForm3::reject() {
    // Escape: the step button is the window's cancel button.
    Button1->click();
}

void TForm3::closeEvent(QCloseEvent* e) {
    // Closed by the window system (Alt+F4, a task bar): the close button's
    // action, never the step's.
    Button1Next10Click();
    e->accept();
}

void TForm3::moveNext(int dx) {
    for (QWidget* w : {static_cast<QWidget*>(Shape1), static_cast<QWidget*>(Image2), static_cast<QWidget*>(Image3)})
        w->move(w->x() + dx, w->y());
}

void TForm3::Button1Click() {
    if (TForm1* f = main()) f->wizardActive = true;
    CheckBox1->hide();
    CheckBox1->setEnabled(false);
    setInstruction(kConnect);
    step_ = &TForm3::Button1Next8Click;
}

void TForm3::Button1Next8Click() {
    enableNext(false);
    setInstruction(kSelectDevice);
    if (TForm1* f = main())
        for (int i = 0; i < f->MidiOut1->NumDevs(); ++i) ComboBox1->addItem(QString::fromUtf8(f->MidiOut1->deviceName(i)));
    ComboBox1->show();
    step_ = &TForm3::Button1Next5Click;
}

void TForm3::Button1Next5Click() {
    // Left by the keyboard before a device opened, the arrow must not stay dead.
    enableNext(true);
    ComboBox1->hide();
    moveNext(60);
    Shape2->setEnabled(true);
    Image4->show();
    setInstruction(kTestConnection);
    step_ = &TForm3::Button1Next1Click;
}

void TForm3::Button1Next1Click() {
    moveNext(-60);
    Shape2->setEnabled(false);
    Image4->hide();
    Image5->show();
    setInstruction(kRevisionMode);
    step_ = &TForm3::Button1Next2Click;
}

void TForm3::Button1Next2Click() {
    enableNext(false);
    setInstruction(kReadRevision);
    ComboBox2->show();
    ComboBox3->show();
    ComboBox4->show();
    Label2->show();
    step_ = &TForm3::Button1Next7Click;
}

void TForm3::Button1Next7Click() {
    enableNext(true);  // as when leaving the device step
    Image5->hide();
    for (QWidget* w : {static_cast<QWidget*>(ComboBox2), static_cast<QWidget*>(ComboBox3),
                       static_cast<QWidget*>(ComboBox4), static_cast<QWidget*>(Shape3), static_cast<QWidget*>(Shape4),
                       static_cast<QWidget*>(Shape5)})
        w->hide();
    setInstruction(kRestartAmp);
    Label2->hide();
    step_ = &TForm3::Button1Next6Click;
}

void TForm3::Button1Next6Click() {
    needIntermediate = revision.text() == "1.02" ? 1 : 0;
    setInstruction(kChooseFile);
    platform::OpenFileRequest req;
    req.filter = "Syx files (*.syx)|*.syx";
    if (const auto chosen = platform::openFile(req)) chosenFirmwarePath = *chosen;
    step_ = &TForm3::Button1Next3Click;
    // The step button is clicked at once: the next step runs without a press.
    Button1Next3Click();
}

void TForm3::Button1Next3Click() {
    setInstruction(kReady);
    step_ = needIntermediate == 1 ? &TForm3::Button1Next4Click : &TForm3::Button1Next9Click;
}

bool TForm3::runStage(bool intermediate) {
    TForm1* f = main();
    if (!f) return false;
    // A text left by an earlier attempt is not this run's.
    setInstruction(stepText_);
    f->loadStageImage(intermediate, chosenFirmwarePath ? chosenFirmwarePath->c_str() : "");
    // Run > Upload Code, which returns when the whole upload has ended.
    f->UploadCode1->trigger();
    if (f->lastRunSucceeded()) return true;
    const char* said = stepText_;
    Label1->setText(stageFailedText(f->lastRunOutcome()));
    fitInstruction();
    stepText_ = said;  // what the stage says again when it is run again
    // The run ended without bringing the wizard back (its boxes were the
    // main window's): the user is to read what happened here, unless the
    // wizard was closed meanwhile.
    if (f->wizardActive) {
        show();
        raise();
        activateWindow();
    }
    return false;
}

void TForm3::Button1Next4Click() {
    TForm1* f = main();
    platform::processMessages();
    if (refusedDuringRun(f)) return;
    if (f) {
        f->raise();
        f->activateWindow();
    }
    // The built-in intermediate image. A stage that did not run to its end
    // is offered again.
    if (!runStage(true)) return;
    platform::Sleep(1000);
    setInstruction(kFirstStageDone);
    step_ = &TForm3::Button1Next9Click;
}

void TForm3::Button1Next9Click() {
    TForm1* f = main();
    if (refusedDuringRun(f)) return;
    if (f) {
        f->raise();
        f->activateWindow();
    }
    platform::processMessages();
    needIntermediate = 0;
    if (!runStage(false)) return;
    setInstruction(kDone);
    step_ = &TForm3::Button1Next10Click;
}

void TForm3::Button1Next10Click() {
    if (TForm1* f = main()) f->wizardActive = false;
    hide();
}

void TForm3::Shape1MouseDown(Qt::MouseButton button) {
    if (button == Qt::LeftButton) Image2->show();
}

void TForm3::Shape1MouseUp(Qt::MouseButton button) {
    if (button == Qt::LeftButton) Image2->hide();
    Button1->click();
}

void TForm3::Shape2MouseDown(Qt::MouseButton button) {
    if (button != Qt::LeftButton) return;
    Image9->show();
    Image4->hide();
}

void TForm3::Shape2MouseUp(Qt::MouseButton button) {
    if (button == Qt::LeftButton) {
        Image9->hide();
        Image4->show();
    }
    Button2->click();
}

void TForm3::Button2Click() {
    if (refusedDuringRun(main())) return;
    wizardTestProgram = (wizardTestProgram + 1) % 4;
    if (TForm1* f = main()) f->MidiOut1->Put2(0xC0, uint8_t(wizardTestProgram));
}

void TForm3::ComboBox1Change() {
    TForm1* f = main();
    if (!f || refusedDuringRun(f)) return;
    // By name: the Midi menu may have been rebuilt since the list was filled.
    const int i = ComboBox1->currentIndex();
    f->chooseOutput(i < 0 ? QString() : ComboBox1->itemText(i));
    if (f->midiOutReady) {
        enableNext(true);
        Shape1->show();
    }
}

void TForm3::CheckBox1Click() {
    TForm1* f = main();
    if (!f) return;
    SettingsFile ini(f->iniPath());
    if (CheckBox1->isChecked()) {
        ini.writeBool("FIRST_TIME", "FT", false);
        f->StartupHelp1->setChecked(false);
    } else {
        ini.writeBool("FIRST_TIME", "FT", true);
        f->StartupHelp1->setChecked(true);
    }
}

void TForm3::ringChange(setup::Ring ring, QComboBox* box, TShape* mark) {
    if (!revision.choose(ring, box->currentIndex())) return;
    Label2->setText(QString::fromStdString(revision.text()));
    // The lists' empty last entry has no spot on the ring: no marker then.
    if (const auto spot = setup::markerSpot(ring, box->currentIndex())) {
        mark->move(spot->left, spot->top);
        mark->show();
        mark->raise();
    } else {
        mark->hide();
    }
    if (revision.complete()) {
        FirmwareCalc();
        enableNext(true);
    }
}

void TForm3::FirmwareCalc() { Label2->setText(QString::fromStdString(revision.text())); }

void TForm3::ComboBox2Change() { ringChange(setup::Ring::Stompbox, ComboBox2, Shape3); }
void TForm3::ComboBox3Change() { ringChange(setup::Ring::Amp, ComboBox3, Shape4); }
void TForm3::ComboBox4Change() { ringChange(setup::Ring::Effects, ComboBox4, Shape5); }

void TForm3::setVisible(bool visible) {
    // Centred on the main window, and placed before it is shown: a window
    // moved while the window manager maps it may end up where Qt does not
    // think it is, and its lists and boxes would open somewhere else.
    if (visible && !isVisible())
        if (QWidget* owner = parentWidget()) {
            const QRect r = owner->frameGeometry();
            move(r.center() - QPoint(width() / 2, height() / 2));
        }
    QDialog::setVisible(visible);
}
