// The built programs on a real X display with a window manager (Xvfb and
// openbox), used as a user would use them: keyboard menus, the file dialog
// typed into, clicks on the wizard's arrow and the cancel knob, Alt+F4. Each
// test has a display, a folder and a copy of the program of its own, so the
// settings file beside the program is the test's. Real time, bounded.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <csignal>
#include <unistd.h>

#include "tests/desktop/x_desktop.h"

// Readable failure messages.
void PrintTo(const QPoint& p, std::ostream* os) { *os << "(" << p.x() << ", " << p.y() << ")"; }
void PrintTo(const QSize& s, std::ostream* os) { *os << s.width() << " x " << s.height(); }

namespace fs = std::filesystem;
using desktop::countPixels;
using desktop::waitUntil;
using desktop::XDesktop;

namespace {

constexpr const char* kMainTitle = "Kolva Updater v2.61";
constexpr const char* kWizardTitle = "Welcome!";
constexpr int kClientHeight = 376;

// Places in the wizard's and the main window's client areas.
const QPoint kArrow{238, 275}, kArrowMoved{298, 275}, kTest{172, 277}, kDeviceList{230, 206};
const QPoint kStompboxList{94, 228}, kAmpList{232, 229}, kEffectsList{369, 228};
const QPoint kCancelKnob{354, 127}, kCheckBox{158, 328};
const QRect kTick{156, 325, 6, 6};  // inside the check box, clear of its edges
const QRect kGauge{0, 317, 703, 27};

bool lime(QRgb c) { return qGreen(c) > 200 && qRed(c) < 60 && qBlue(c) < 60; }

class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::string(KOLVA_DESKTOP_RUNS) + "/" + info->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
        desk = std::make_unique<XDesktop>(dir);
        ASSERT_EQ(desk->reason(), "");
    }
    void TearDown() override {
        if (HasFailure()) std::printf("screen at the end: %s\n", desk->shot("failed").c_str());
    }

    // A copy of the program in the test's folder: its settings file is the test's.
    std::string place(const char* exe) {
        const fs::path copy = fs::path(dir) / fs::path(exe).filename();
        if (!fs::exists(copy) && link(exe, copy.c_str()) != 0) fs::copy_file(exe, copy);
        program = copy.filename().string();
        return copy.string();
    }
    pid_t start(const char* exe, const std::vector<std::string>& args = {}) { return desk->start(place(exe), args); }
    pid_t startDemo(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--amp-report", dir + "/amp.txt"});
        return start(KOLVA_DEMO, args);
    }
    // The screen once it has stopped changing (a window just mapped paints
    // a moment later).
    QImage steady(const QRect& part) {
        QImage last = desk->screen().copy(part), now;
        waitUntil([&] { return (now = desk->screen().copy(part)) == last || (last = now, false); }, 3000);
        return now;
    }
    void writeSettings(const std::string& text) { std::ofstream(dir + "/" + program + ".INI") << text; }
    std::map<std::string, std::string> settings() { return desktop::readKeyValues(dir + "/" + program + ".INI"); }
    std::map<std::string, std::string> amp() { return desktop::readKeyValues(dir + "/amp.txt"); }
    bool ampSays(const std::string& key, const std::string& value, int timeoutMs) {
        return waitUntil([&] { return amp()[key] == value; }, timeoutMs);
    }
    // A single-message image, quick to send: the amplifier takes its version.
    std::string firmware(const char* version) {
        const std::string path = dir + "/latest-" + version + ".syx";
        const std::string cmd = std::string(KOLVA_SYXGEN) + " single --version " + version +
                                " --size 4096 -o " + path + " >/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return path;
    }

    QPoint inWizard(QPoint p) { return desk->client(wizard).topLeft() + p; }
    // The main window's client area lies below its menu bar.
    QPoint inMain(QPoint p) {
        const QRect c = desk->client(mainWindow);
        return c.topLeft() + QPoint(0, c.height() - kClientHeight) + p;
    }
    QRect inMain(QRect r) { return r.translated(inMain(QPoint())); }
    QRect inWizard(QRect r) { return r.translated(inWizard(QPoint())); }
    void next(QPoint at = kArrow) { desk->click(inWizard(at)); }
    // Keys go to a window once the window manager has given it the focus.
    void waitActive(Window w) {
        ASSERT_TRUE(waitUntil([&] { return desk->active() == w; }, 3000)) << desk->describe();
    }
    void focusWizard() {
        desk->click(inWizard({233, 100}));  // the logo
        waitActive(wizard);
    }
    // A drop-down list of the wizard: opened with a click, its entries popping
    // up right under it, an entry found by typing.
    void choose(QPoint list, const std::string& entry) {
        const QPoint at = inWizard(list);
        desk->click(at);
        std::vector<QRect> up;
        EXPECT_TRUE(waitUntil([&] { return !(up = desk->popups()).empty(); }, 3000)) << "the list did not open";
        if (!up.empty()) {
            EXPECT_TRUE(up.front().left() <= at.x() && up.front().right() >= at.x() &&
                        std::abs(up.front().top() - at.y()) < 40)
                << "the list opened at " << up.front().x() << ", " << up.front().y() << " for a click at " << at.x()
                << ", " << at.y();
        }
        desk->type(entry);
        desk->key("Return");
    }
    // The file dialog typed into; done when the window it came from has the
    // focus again (a click sooner may reach it before the dialog's step ends).
    void openFile(const std::string& path, Window from) {
        const Window dialog = desk->window("Open");
        ASSERT_NE(dialog, 0u) << "no file dialog: " << desk->describe();
        ASSERT_NO_FATAL_FAILURE(waitActive(dialog));
        EXPECT_TRUE(desk->frame(from).contains(desk->frame(dialog).center())) << "the dialog opened away from its window";
        desk->type(path);
        desk->key("Return");
        ASSERT_TRUE(waitUntil([&] { return !desk->viewable(dialog); }, 5000));
        ASSERT_NO_FATAL_FAILURE(waitActive(from));
    }
    // Midi > Out and Midi > In > the amplifier, by the keyboard.
    void choosePortsByKeyboard() {
        desk->key("alt+m");
        desk->key("Right");
        desk->key("Down");
        desk->key("Return");
        desk->key("alt+m");
        desk->key("Down");
        desk->key("Right");
        desk->key("Down");
        desk->key("Return");
    }
    // Run > Upload Code. On a busy machine the Return may come before the
    // menu has taken the keyboard; pressed again once a run is going, the
    // entry is disabled and nothing happens.
    void startUpload() {
        for (int tries = 0; tries < 3 && amp()["header"] != "1"; ++tries) {
            desk->key("alt+r");
            desk->key("Return");
            waitUntil([&] { return amp()["header"] == "1"; }, 4000);
        }
        ASSERT_EQ(amp()["header"], "1") << "no upload: " << desk->describe();
    }
    int packetsTaken() { return std::stoi("0" + amp()["packets"]); }
    // Space on the wizard's arrow in Ready, or a click on it: the main window
    // comes above with the stage. A window just given back the focus (after
    // the file dialog, Alt+Tab) may not take the key or the click yet when the
    // window manager says it has; pressed again only while no stage has started.
    void startStage(const char* how = "space") {
        for (int tries = 0; tries < 3 && !desk->above(mainWindow, wizard); ++tries) {
            how == std::string("click") ? next() : desk->key(how);
            waitUntil([&] { return desk->above(mainWindow, wizard); }, 4000);
        }
        ASSERT_TRUE(desk->above(mainWindow, wizard)) << "no stage: " << desk->describe();
    }
    // The next box titled "Status", answered with key.
    void answerBox(const char* key = "Return", const char* shotName = nullptr) {
        const Window box = desk->window("Status", 20000);
        ASSERT_NE(box, 0u) << "no box: " << desk->describe();
        ASSERT_NO_FATAL_FAILURE(waitActive(box));
        if (shotName) desk->shot(shotName, desk->frame(box));
        desk->key(key);
        ASSERT_TRUE(waitUntil([&] { return !desk->viewable(box); }, 3000));
    }
    void waitForWindows() {
        mainWindow = desk->window(kMainTitle);
        wizard = desk->window(kWizardTitle);
        ASSERT_NE(mainWindow, 0u) << desk->describe();
        ASSERT_NE(wizard, 0u) << desk->describe();
    }
    // Welcome .. ReadRevision by the arrow, the amplifier's output chosen in
    // the list and tested once.
    void walkToReadRevision() {
        next();  // Connect
        next();  // SelectDevice
        desk->moveTo({0, 0});
        desk->shot("select-device", desk->frame(wizard));
        choose(kDeviceList, "Kolva");
        next();  // TestConnection
        desk->click(inWizard(kTest));
        ASSERT_TRUE(ampSays("program_changes", "1", 5000)) << "the test control sends program 1";
        next(kArrowMoved);  // RevisionMode
        next();             // ReadRevision
        desk->moveTo({0, 0});
        desk->shot("read-revision", desk->frame(wizard));
    }
    // A stage from the arrow in Ready: the main window comes above the wizard
    // with its progress, and the wizard comes back when the stage is over.
    void runStage(const std::string& shotName, int timeoutMs) {
        next();
        ASSERT_TRUE(waitUntil([&] { return desk->above(mainWindow, wizard); }, 10000))
            << "main window under the wizard during a stage: " << desk->describe();
        ASSERT_TRUE(waitUntil([&] { return countPixels(desk->screen(), inMain(kGauge), lime) > 50; }, 5000))
            << "no progress to be seen";
        desk->moveTo({0, 0});
        desk->shot(shotName, desk->frame(mainWindow));
        ASSERT_TRUE(waitUntil([&] { return desk->above(wizard, mainWindow); }, timeoutMs))
            << "the wizard did not come back: " << desk->describe();
    }

    std::string dir;
    std::string program;
    std::unique_ptr<XDesktop> desk;
    Window mainWindow = 0, wizard = 0;
};

TEST_F(DesktopTest, OneStageWalkFromWelcomeToFinalStageComplete) {
    // Packets of old firmware, which no reply checks and no USB set-up follows.
    const std::string file = dir + "/latest-1.55-packets.syx";
    ASSERT_EQ(std::system((std::string(KOLVA_SYXGEN) + " packet --version 1.55 --packets 8 -o " + file + " >/dev/null")
                              .c_str()),
              0);
    startDemo();
    ASSERT_NO_FATAL_FAILURE(waitForWindows());
    EXPECT_TRUE(desk->above(wizard, mainWindow)) << "the wizard opens over the main window";
    desk->click(inWizard(kCheckBox));  // "Do not show this next time"
    EXPECT_TRUE(waitUntil([&] { return settings()["FT"] == "0"; }, 3000));
    desk->moveTo({0, 0});
    desk->shot("ticked", inWizard(QRect(140, 310, 220, 36)));
    EXPECT_GE(countPixels(steady(inWizard(kTick)), QRect(0, 0, 6, 6), [](QRgb c) { return qGray(c) > 150; }), 3)
        << "no tick in the ticked box";
    ASSERT_NO_FATAL_FAILURE(walkToReadRevision());
    // Left by the keyboard with no ring chosen (x.xx: one stage); the arrow
    // must still work in the steps after.
    ASSERT_NO_FATAL_FAILURE(focusWizard());
    desk->key("Escape");
    next();  // RestartAmp: the file dialog
    ASSERT_NO_FATAL_FAILURE(openFile(file, wizard));
    // Stopped at the knob: the wizard comes back and says so; the arrow tries again.
    ASSERT_NO_FATAL_FAILURE(startStage("click"));
    ASSERT_TRUE(waitUntil([&] { return desk->above(mainWindow, wizard) && packetsTaken() >= 2; }, 15000))
        << desk->describe();
    desk->click(inMain(kCancelKnob));
    ASSERT_NO_FATAL_FAILURE(answerBox());  // User terminated code upload. Power cycle amp.
    ASSERT_TRUE(waitUntil([&] { return desk->above(wizard, mainWindow); }, 5000)) << desk->describe();
    desk->moveTo({0, 0});
    desk->shot("stage-cancelled", desk->frame(wizard));
    // The main window's File menu opened and closed between stages: the
    // wizard stays in front.
    desk->click(desk->client(mainWindow).topLeft() + QPoint(16, 10));
    ASSERT_TRUE(waitUntil([&] { return !desk->popups().empty(); }, 3000)) << "the menu did not open";
    desk->key("Escape");
    EXPECT_FALSE(waitUntil([&] { return desk->above(mainWindow, wizard); }, 2000)) << desk->describe();
    ASSERT_NO_FATAL_FAILURE(runStage("stage-in-progress", 30000));
    EXPECT_TRUE(ampSays("version", "01.55", 15000)) << "the amplifier runs the new firmware";
    next();  // Done: the wizard goes
    EXPECT_TRUE(waitUntil([&] { return !desk->viewable(wizard); }, 3000)) << "Final stage complete! was not shown";
}

// Both stages by the keyboard alone: Tab moves among the wizard's arrow,
// TEST MIDI and lists, Space presses, letters choose in a list, Alt+Tab goes
// to the main window and back.
TEST_F(DesktopTest, Revision102WalksThroughBothStagesByTheKeyboardAlone) {
    const std::string file = firmware("2.10");
    startDemo();
    ASSERT_NO_FATAL_FAILURE(waitForWindows());
    ASSERT_NO_FATAL_FAILURE(waitActive(wizard));
    desk->moveTo({0, 0});
    desk->key("space");  // Connect
    desk->key("space");  // SelectDevice
    desk->key("Tab");    // the device list
    desk->type("Kolva");
    desk->key("shift+Tab");
    desk->key("space");  // TestConnection
    desk->key("Tab");    // TEST MIDI
    desk->key("space");
    ASSERT_TRUE(ampSays("program_changes", "1", 5000)) << "TEST MIDI by Space sends program 1";
    desk->shot("keyboard-test-midi", desk->frame(wizard));
    desk->key("shift+Tab");
    desk->key("space");  // RevisionMode
    desk->key("space");  // ReadRevision
    for (const char* led : {"1", "0", "2"}) {
        desk->key("Tab");
        desk->type(led);
    }
    desk->shot("rings-chosen", desk->frame(wizard));
    desk->key("Tab");    // back round to the arrow
    desk->key("space");  // RestartAmp
    desk->key("space");  // the file dialog
    ASSERT_NO_FATAL_FAILURE(openFile(file, wizard));
    ASSERT_NO_FATAL_FAILURE(startStage());
    ASSERT_TRUE(waitUntil([&] { return desk->above(wizard, mainWindow); }, 60000)) << desk->describe();
    EXPECT_TRUE(ampSays("version", "01.39", 15000)) << "the first stage sends the intermediate image";
    // The amplifier restarted: its output is chosen again in the main
    // window's Midi menu, reached by Alt+Tab.
    ASSERT_NO_FATAL_FAILURE(waitActive(wizard));
    desk->key("alt+Tab");
    ASSERT_NO_FATAL_FAILURE(waitActive(mainWindow));
    desk->key("alt+m");
    desk->key("Right");
    desk->key("Down");
    desk->key("Return");
    desk->key("alt+Tab");  // back to the wizard
    ASSERT_NO_FATAL_FAILURE(waitActive(wizard));
    ASSERT_NO_FATAL_FAILURE(startStage());
    ASSERT_TRUE(waitUntil([&] { return desk->above(wizard, mainWindow); }, 30000)) << desk->describe();
    EXPECT_TRUE(ampSays("version", "02.10", 15000));
    ASSERT_NO_FATAL_FAILURE(waitActive(wizard));
    desk->key("space");
    EXPECT_TRUE(waitUntil([&] { return !desk->viewable(wizard); }, 3000));
}

TEST_F(DesktopTest, AltF4OnTheWizardOnlyHidesIt) {
    const std::string file = firmware("2.10");
    startDemo();
    ASSERT_NO_FATAL_FAILURE(waitForWindows());
    desk->moveTo({0, 0});
    const QImage welcome = steady(desk->frame(wizard));
    ASSERT_NO_FATAL_FAILURE(focusWizard());
    desk->key("alt+F4");
    ASSERT_TRUE(waitUntil([&] { return !desk->viewable(wizard); }, 3000)) << "Alt+F4 left the wizard open";
    // File > Startup Help off and on again shows it where it was: Welcome.
    for (const char* ft : {"0", "1"}) {
        desk->click(desk->client(mainWindow).topLeft() + QPoint(20, 8));
        desk->key("Up");
        desk->key("Return");
        EXPECT_TRUE(waitUntil([&] { return settings()["FT"] == ft; }, 3000)) << "FT " << ft;
    }
    ASSERT_NE(wizard = desk->window(kWizardTitle, 3000), 0u);
    desk->moveTo({0, 0});
    EXPECT_EQ(steady(desk->frame(wizard)), welcome) << "still the Welcome step";

    // Escape runs the steps up to Ready; Alt+F4 there must not start the update.
    ASSERT_NO_FATAL_FAILURE(focusWizard());
    desk->key("Escape");  // Connect
    desk->key("Escape");  // SelectDevice
    choose(kDeviceList, "Kolva");
    for (int i = 0; i < 5; ++i) desk->key("Escape");  // .. RestartAmp, the file dialog
    ASSERT_NO_FATAL_FAILURE(openFile(file, wizard));
    ASSERT_NO_FATAL_FAILURE(focusWizard());
    desk->key("alt+F4");
    ASSERT_TRUE(waitUntil([&] { return !desk->viewable(wizard); }, 3000));
    EXPECT_FALSE(ampSays("state", "3", 3000)) << "closing the wizard at Ready started the upload";
    EXPECT_EQ(amp()["version"], "02.06");
    EXPECT_EQ(countPixels(desk->screen(), inMain(kGauge), lime), 0);
}

TEST_F(DesktopTest, ClickingTheKnobCancelsAHandshakeUpload) {
    place(KOLVA_DEMO);
    writeSettings("[FIRST_TIME]\nFT=0\n");
    startDemo({"--amp-version", "01.60"});
    mainWindow = desk->window(kMainTitle);
    ASSERT_NE(mainWindow, 0u);
    ASSERT_NO_FATAL_FAILURE(waitActive(mainWindow));
    choosePortsByKeyboard();
    desk->key("alt+f");  // File > Open Firmware
    desk->key("f");
    ASSERT_NO_FATAL_FAILURE(openFile(std::string(KOLVA_EXAMPLES_DIR) + "/kolva-02.06-packets.syx", mainWindow));
    ASSERT_NO_FATAL_FAILURE(startUpload());
    ASSERT_TRUE(waitUntil([&] { return std::stoi("0" + amp()["packets"]) >= 2; }, 15000))
        << "no packets: " << desk->describe();
    desk->click(inMain(kCancelKnob));
    const Window box = desk->window("Status", 10000);
    ASSERT_NE(box, 0u) << "no word of the cancel: " << desk->describe();
    const std::string sent = amp()["packets"];
    desk->key("Return");
    EXPECT_TRUE(waitUntil([&] { return !desk->viewable(box); }, 3000));
    EXPECT_FALSE(waitUntil([&] { return amp()["packets"] != sent; }, 2000)) << "packets still going out";
    EXPECT_LT(std::stoi(sent), 48);
    EXPECT_EQ(countPixels(desk->screen(), inMain(kGauge), lime), 0) << "the gauge stays";

    // The keyboard alone: Space on the Cancel control the transfer focuses,
    // then Escape in the window, each stop the next run the same way.
    for (const char* key : {"space", "Escape"}) {
        SCOPED_TRACE(key);
        ASSERT_NO_FATAL_FAILURE(waitActive(mainWindow));
        const int before = packetsTaken();
        desk->key("alt+r");
        desk->key("Return");
        ASSERT_TRUE(waitUntil([&] { return packetsTaken() >= before + 2; }, 15000)) << desk->describe();
        desk->key(key);
        ASSERT_NO_FATAL_FAILURE(answerBox());  // User terminated code upload. Power cycle amp.
        const int stopped = packetsTaken();
        EXPECT_FALSE(waitUntil([&] { return packetsTaken() != stopped; }, 2000)) << "packets still going out";
        EXPECT_LT(stopped - before, 48);
    }
}

// A whole handshake update with the desktop pinging the window every 100 ms:
// through the packets' pauses, the amplifier's steps and the pause before the
// USB set-up, every ping is answered within 200 ms. Closing the window while
// packets go asks first, and No goes on. A termination signal with a modal
// window open ends the program at once and keeps the settings.
TEST_F(DesktopTest, AWholeUpdateAnswersEveryPingAsksBeforeAClosePartWayAndEndsOnASignal) {
    place(KOLVA_DEMO);
    writeSettings("[FIRST_TIME]\nFT=0\n");
    const std::string file = dir + "/latest-2.10-packets.syx";
    ASSERT_EQ(std::system((std::string(KOLVA_SYXGEN) + " packet --version 2.10 --packets 8 -o " + file + " >/dev/null")
                              .c_str()),
              0);
    const pid_t pid = startDemo({"--amp-version", "01.60"});
    mainWindow = desk->window(kMainTitle);
    ASSERT_NE(mainWindow, 0u);
    ASSERT_NO_FATAL_FAILURE(waitActive(mainWindow));
    choosePortsByKeyboard();
    desk->key("alt+f");
    desk->key("f");
    ASSERT_NO_FATAL_FAILURE(openFile(file, mainWindow));
    desktop::Pinger pinger(desk->display(), mainWindow);
    ASSERT_NO_FATAL_FAILURE(startUpload());
    ASSERT_TRUE(waitUntil([&] { return packetsTaken() >= 2; }, 15000)) << desk->describe();
    const QRect frame = desk->frame(mainWindow);
    desk->click(QPoint(frame.right() - 11, frame.top() + 10));  // the close box
    const int atQuestion = packetsTaken();
    ASSERT_NO_FATAL_FAILURE(answerBox("Escape", "close-question"));  // No
    ASSERT_TRUE(waitUntil([&] { return packetsTaken() > atQuestion; }, 5000)) << "the update stopped at No";
    ASSERT_NO_FATAL_FAILURE(answerBox());  // Looks good! Unplug the USB cable ...
    ASSERT_NO_FATAL_FAILURE(answerBox());  // Now plug in the USB cable ...
    ASSERT_NO_FATAL_FAILURE(answerBox());  // Now select the MIDI device.
    ASSERT_TRUE(ampSays("version", "02.10", 15000)) << "the amplifier did not come back";
    ASSERT_NO_FATAL_FAILURE(waitActive(mainWindow));
    choosePortsByKeyboard();
    ASSERT_NO_FATAL_FAILURE(answerBox());  // Success, new code rev is confirmed. Rock On!
    EXPECT_EQ(packetsTaken(), 8);
    const int pings = pinger.count();
    EXPECT_LE(pinger.stop(), 200) << "the longest wait for an answer, of " << pings << " pings";
    EXPECT_GT(pings, 100);

    // A box is up (the file is no firmware); the desktop ends the program.
    fs::remove(dir + "/" + program + ".INI");
    desk->key("alt+f");
    desk->key("f");
    const Window dialog = desk->window("Open");
    ASSERT_NE(dialog, 0u) << desk->describe();
    ASSERT_NO_FATAL_FAILURE(waitActive(dialog));
    desk->type(dir + "/amp.txt");
    desk->key("Return");
    ASSERT_NE(desk->window("File Error", 5000), 0u) << desk->describe();
    kill(pid, SIGTERM);
    EXPECT_TRUE(desk->exited(pid, 5000)) << "a box held the program: " << desk->describe();
    EXPECT_NE(settings()["X"], "") << "the settings were not saved";
}

TEST_F(DesktopTest, PositionAndSizeAreKeptOverThreeRunsAndASecondStartRaisesTheFirst) {
    for (int run = 0; run < 3; ++run) {
        if (run == 0) {
            place(KOLVA_UPDATER);
            writeSettings("[INI_VERSION]\nVERSION=1\n[FIRST_TIME]\nFT=0\n[START_POS]\nX=300\nY=400\n");
        }
        const pid_t pid = start(KOLVA_UPDATER);
        mainWindow = desk->window(kMainTitle);
        ASSERT_NE(mainWindow, 0u) << "run " << run;
        const QRect frame = desk->frame(mainWindow), client = desk->client(mainWindow);
        EXPECT_EQ(frame.topLeft(), QPoint(400, 300)) << "run " << run << ": X is the top edge, Y the left";
        const desktop::SizeHints hints = desk->sizeHints(mainWindow);
        EXPECT_EQ(hints.min, client.size()) << "run " << run;
        EXPECT_EQ(hints.max, client.size()) << "run " << run;
        EXPECT_EQ(client.width(), 701);
        EXPECT_GT(client.height(), kClientHeight) << "the menu bar above the client area";
        if (run == 0) {
            // A second start hands over to the first copy, whose window comes back.
            desk->minimize(mainWindow);
            ASSERT_TRUE(waitUntil([&] { return !desk->viewable(mainWindow); }, 3000));
            EXPECT_TRUE(desk->exited(start(KOLVA_UPDATER), 5000)) << "the second copy runs on";
            EXPECT_TRUE(waitUntil([&] { return desk->viewable(mainWindow); }, 3000)) << desk->describe();
            EXPECT_EQ(desk->window(kMainTitle), mainWindow) << "one window only";
        }
        if (run == 1) {
            desk->click(QPoint(frame.right() - 11, frame.top() + 10));  // the close box
        } else {
            ASSERT_NO_FATAL_FAILURE(waitActive(mainWindow));
            desk->key("alt+f");  // File > Exit
            desk->key("x");
        }
        ASSERT_TRUE(desk->exited(pid, 5000)) << "run " << run;
        EXPECT_EQ(settings()["X"], "300") << "run " << run;
        EXPECT_EQ(settings()["Y"], "400") << "run " << run;
    }
}

}  // namespace
