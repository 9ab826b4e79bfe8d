#include "app/unit1.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>

#include "app/application.h"
#include "app/settings.h"
#include "platform/dialogs.h"
#include "platform/profile.h"
#include "platform/widgets/accessible.h"
#include "platform/widgets/fit_text.h"
#include "setup/unit3.h"
#include "upload/threader.h"

TForm1* Form1 = nullptr;

namespace {

constexpr int kClientWidth = 701;
constexpr int kClientHeight = 376;

// A window whose top-left corner no screen shows (a monitor was removed since
// the position was saved) would open out of reach.
bool positionVisible(int top, int left) {
    std::vector<ScreenArea> areas;
    for (QScreen* s : QGuiApplication::screens()) {
        const QRect g = s->geometry();
        areas.push_back({g.x(), g.y(), g.width(), g.height()});
    }
    return titleBarOnScreen(top, left, areas);
}

QFont face(const char* family, int pixels, bool bold) {
    QFont f(family);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

}  // namespace

TForm1::TForm1(const Form1Options& options, QWidget* parent)
    : QMainWindow(parent), imageStore(new uint8_t[kImageStoreSize]()), iniPath_(options.iniPath) {
    Form1 = this;
    app::installFonts();
    setObjectName("Form1");
    setWindowTitle("Kolva Updater v2.61");
    // Single fixed border, system menu and close box only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    try {
        // Controls, menu, timers; the MIDI ports list the devices.
        buildControls();
        buildMenu();
        // Fixed at the size with the menu bar, so the window manager is asked
        // for one size only and the client area stays whole below the menu.
        adjustSize();
        setFixedSize(sizeHint());
        installUploadControls();
        createMidiPorts();
        // The encoder rings, all off.
        init_leds();
        // Midi menu: the devices, "None" chosen in both directions.
        populateMidiSelect();
        // Settings and the remembered firmware file.
        readSettings();
    } catch (...) {
        // The destructor does not run for a window that failed to build.
        destroyRings();
        destroyMidiPorts();
        Form1 = nullptr;
        throw;
    }
}

TForm1::~TForm1() {
    finishUpload();  // senders send through MidiOut1
    destroyRings();
    destroyMidiPorts();
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::buildControls() {
    client = new QWidget(this);
    client->setObjectName("client");
    client->setFixedSize(kClientWidth, kClientHeight);
    client->setAutoFillBackground(true);
    QPalette pal = client->palette();
    pal.setColor(QPalette::Window, QColor(0x80, 0x80, 0x80));  // 3-D shadow
    client->setPalette(pal);
    client->setFont(face("MS Sans Serif", 11, false));
    setCentralWidget(client);
    accessibility::listChildren(client);  // the rings' parts come with the rings

    Image1 = new TImage(client);
    Image1->setObjectName("Image1");
    Image1->setGeometry(0, -1, 700, 284);
    Image1->loadPicture(":/images/panel.png");
    Image1->setTransparent(true);

    // The LED controls sit over the rings of the panel picture.
    createLeds();

    Image2 = new TImage(client);
    Image2->setObjectName("Image2");
    Image2->setGeometry(320, 98, 66, 66);
    Image2->loadPicture(":/images/knob.png");
    Image2->setTransparent(true);
    Image2->hide();

    Label1 = new QLabel("Push to Cancel", client);
    Label1->setObjectName("Label1");
    Label1->setGeometry(334, 108, 40, 39);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setWordWrap(true);
    Label1->setFont(face("MS Sans Serif", 11, true));
    Label1->setStyleSheet("color: black; background: transparent;");
    Label1->hide();

    Label2 = new QLabel("*Note: Indicator lights are approximate and may not exactly duplicate the action on the amp.",
                        client);
    Label2->setObjectName("Label2");
    Label2->setGeometry(137, 266, 445, 15);
    Label2->setFont(face("Futura Hv", 11, false));
    Label2->setStyleSheet("color: #C0C0C0; background: transparent;");
    fitLabelText(Label2);

    Label3 = new QLabel("Programming in Progress. Do not turn off amp.", client);
    Label3->setObjectName("Label3");
    Label3->setGeometry(146, 3, 408, 22);
    Label3->setFont(face("Futura Bk", 16, true));
    Label3->setStyleSheet("color: red; background: transparent;");
    fitLabelText(Label3);
    Label3->hide();

    StatusBar1 = new TStatusBar(client);
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setGeometry(0, 285, 700, 32);
    StatusBar1->setColor(QColor(0xC0, 0xC0, 0xC0));
    StatusBar1->addPanel(100, "New Firmware");
    StatusBar1->addPanel(100);
    StatusBar1->addPanel(200);
    StatusBar1->addPanel(180);
    StatusBar1->addPanel(100);

    CGauge1 = new TCGauge(client);
    CGauge1->setObjectName("CGauge1");
    CGauge1->setGeometry(0, 317, 703, 27);
    CGauge1->setForeColor(QColor(0x00, 0xFF, 0x00));
    CGauge1->setBackColor(Qt::black);
    CGauge1->hide();

    StatusBar2 = new TStatusBar(client);
    StatusBar2->setObjectName("StatusBar2");
    StatusBar2->setGeometry(0, 344, 701, 32);
    StatusBar2->setColor(QColor(0x80, 0x80, 0x80));
    StatusBar2->addPanel(100, "Current Firmware");
    StatusBar2->addPanel(100);
    StatusBar2->addPanel(150);
    StatusBar2->addPanel(50);

    // Diagnostic lists: never seen by the user.
    auto memo = [this](const char* name, int l, int t, int w, int h) {
        auto* m = new TMemo(client);
        m->setObjectName(name);
        m->setGeometry(l, t, w, h);
        m->addLine(name);
        m->hide();
        return m;
    };
    Memo1 = memo("Memo1", 3, 346, 244, 356);
    Memo2 = memo("Memo2", 252, 347, 169, 352);
    Memo3 = memo("Memo3", 427, 349, 164, 359);
    StatusBar2->raise();

    Button3 = new QPushButton("Button3", client);
    Button3->setObjectName("Button3");
    Button3->setGeometry(340, 382, 66, 22);
    // Both lie outside the visible client area: the keyboard never tabs to
    // them. A packet transfer gives Button1 the focus itself.
    Button3->setFocusPolicy(Qt::NoFocus);
    Button1 = new QPushButton("Cancel", client);
    Button1->setObjectName("Button1");
    Button1->setGeometry(553, 518, 75, 25);
    Button1->setFocusPolicy(Qt::NoFocus);
    Button1->setAccessibleName("Cancel the update");

    // What a screen reader says of the drawn controls. The knob's picture is
    // left to the rim over it, which is the control; the controls parked
    // outside the client area are not listed (accessibility::listChildren).
    client->setAccessibleName("Amp panel");
    Image1->setAccessibleName("Amp panel picture");
    accessibility::leaveOut(Image2);
    StatusBar1->setAccessibleName("New firmware");
    StatusBar2->setAccessibleName("Amp status");
    CGauge1->setAccessibleName("Upload progress");
    for (TMemo* m : {Memo1, Memo2, Memo3}) m->setAccessibleName("MIDI log");

    Timer1.setInterval(1000);
    Timer1.setEnabled(false);
    Timer3.setInterval(500);
    Timer3.setEnabled(false);
    Timer4.setInterval(1000);
    Timer4.setEnabled(true);
    Timer4.OnTimer = [this] { Timer4Timer(); };
    Timer2.setEnabled(false);
    Timer2.OnTimer = [this] { app::guarded([this] { Timer2Timer(); }); };
}

void TForm1::buildMenu() {
    QMenuBar* bar = menuBar();
    File1 = bar->addMenu("&File");
    Firmware1 = File1->addAction("Open &Firmware");
    Exit1 = File1->addAction("E&xit");
    StartupHelp1 = File1->addAction("Startup Help");
    StartupHelp1->setCheckable(true);
    StartupHelp1->setChecked(true);
    connect(Firmware1, &QAction::triggered, this, [this] { app::guarded([this] { Firmware1Click(); }); });
    connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });
    connect(StartupHelp1, &QAction::triggered, this, [this] {
        // The handler decides the mark; undo the toggle Qt made on its own.
        StartupHelp1->setChecked(!StartupHelp1->isChecked());
        app::guarded([this] { StartupHelp1Click(); });
    });

    Midi1 = bar->addMenu("&Midi");
    Out1 = Midi1->addMenu("Out");
    None = Out1->addAction("None");
    In1 = Midi1->addMenu("In");
    NoneIn = In1->addAction("None");
    TestMidiConnection1 = Midi1->addAction("Test Connection");
    connect(TestMidiConnection1, &QAction::triggered, this,
            [this] { app::guarded([this] { TestMidiConnection1Click(); }); });

    Run1 = bar->addMenu("&Run");
    UploadCode1 = Run1->addAction("Upload Code");

    // An open menu reads as its title.
    bar->setAccessibleName("Menu");
    for (QMenu* m : {File1, Midi1, Out1, In1, Run1}) m->setAccessibleName(QString(m->title()).remove('&'));
}

bool TForm1::positionKnown() { return !QGuiApplication::platformName().startsWith("wayland"); }

int TForm1::Top() const { return pos().y(); }
int TForm1::Left() const { return pos().x(); }
void TForm1::setPosition(int top, int left) { move(left, top); }

void TForm1::readSettings() {
    platform::removeProfileLeftovers(iniPath_.c_str());  // of a save a crash cut short
    SettingsFile ini(iniPath_);
    const int version = ini.readInteger("INI_VERSION", "VERSION", -1);
    const bool firstTime = ini.readBool("FIRST_TIME", "FT", true);
    StartupHelp1->setChecked(firstTime);
    // The wizard timer is armed by startWizardTimer(), once the wizard exists.
    Timer2.setInterval(400);
    Timer2.setEnabled(false);
    showWizardAtStart_ = firstTime;
    // A file that cannot be read is left alone; the close reports it.
    if (version != 1 && !ini.unreadable()) {
        ini.eraseSection("FIRMWARE");
        ini.eraseSection("START_POS");
        ini.eraseSection("MIDI_SELECTION");
    }
    // X holds the top edge, Y the left edge.
    int top = ini.readInteger("START_POS", "X", 100);
    int left = ini.readInteger("START_POS", "Y", 100);
    if (!positionVisible(top, left)) top = left = 100;
    setPosition(top, left);
    // Paths up to the loader's own limit travel unchanged; the loader rejects longer ones.
    const std::string file = ini.readString("FIRMWARE", "FILE", "no file");
    if (file != "no file") uploadMode = ReadFile(file.c_str());
}

void TForm1::startWizardTimer() {
    if (showWizardAtStart_) Timer2.setEnabled(true);
}

void TForm1::Timer2Timer() {
    Timer2.setEnabled(false);
    if (Form3) Form3->show();
}

void TForm1::Exit1Click() { close(); }

void TForm1::StartupHelp1Click() {
    SettingsFile ini(iniPath_);
    if (StartupHelp1->isChecked()) {
        ini.writeBool("FIRST_TIME", "FT", false);
        StartupHelp1->setChecked(false);
    } else {
        ini.writeBool("FIRST_TIME", "FT", true);
        StartupHelp1->setChecked(true);
        if (Form3) {
            // Asked for: in front and with the keyboard, also where the window
            // manager would map it behind this window.
            Form3->show();
            Form3->raise();
            Form3->activateWindow();
        }
    }
}

void TForm1::closeEvent(QCloseEvent* e) {
    // A run in progress unwinds first; the window closes when it has.
    if (closeDuringRun()) {
        e->ignore();
        return;
    }
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    e->accept();
}

void TForm1::FormClose() {
    try {
        closeMidiPorts();
        // One change of the file: a crash leaves the old settings or the new,
        // and a second copy closing at the same time never splits X from Y.
        std::vector<SettingsFile::Entry> entries = {
            {"INI_VERSION", "VERSION", "1"},
            {"MIDI_SELECTION", "MIDI_OutPort", std::to_string(selectedOutPort)},
            {"MIDI_SELECTION", "MIDI_InPort", std::to_string(selectedInPort)},
        };
        // A window system that does not tell where the window is (Wayland
        // reports the decoration's margins) leaves the saved place alone.
        if (positionKnown()) {
            entries.push_back({"START_POS", "X", std::to_string(Top())});
            entries.push_back({"START_POS", "Y", std::to_string(Left())});
        }
        entries.push_back({"FIRMWARE", "FILE", uploadMode != 0 ? std::optional<std::string>(firmwarePath) : std::nullopt});
        SettingsFile(iniPath_).writeAll(entries);
    } catch (const std::exception&) {
        platform::messageBox("Could not save program settings.", "ini", platform::Buttons::Ok);
    }
}

void TForm1::deviceChange(uint32_t wParam, uint32_t lParam) {
    const uint32_t result = 0;
    auto hex = [](uint32_t v) { return QString::number(v, 16).toUpper().rightJustified(4, '0'); };
    Memo1->addLine(hex(wParam));
    Memo2->addLine(hex(lParam));
    Memo3->addLine(hex(result));
}

int32_t TForm1::loadStageImage(bool intermediate, const char* path) {
    // The built-in image for this load only: a file opened later from the
    // File menu is that file.
    useInternalImage = intermediate;
    uploadMode = 0;
    uploadMode = ReadFile(path);
    useInternalImage = false;
    return uploadMode;
}

bool TForm1::chooseOutput(const QString& deviceName) {
    if (deviceName.isEmpty()) {
        None->trigger();
        return false;
    }
    for (QAction* a : Out1->actions())
        if (a != None && a->isCheckable() && a->text() == deviceName) {
            a->trigger();
            return midiOutReady;
        }
    return false;
}
