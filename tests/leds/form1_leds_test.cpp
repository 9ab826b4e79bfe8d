// The main window's rings and light shows, on a real TForm1 offscreen under
// the virtual clock. Frames are observed at each message pump.
#include <gtest/gtest.h>

#include <QEvent>
#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/unit1.h"
#include "leds/ledimage.h"
#include "platform/clock.h"
#include "platform/dialogs.h"

namespace {

namespace fs = std::filesystem;

// Position order of the three rings as the panel shows them.
const std::array<std::array<const char*, 12>, 3> kRings = {{
    {"sLED1", "LEDImage1", "LEDImage3", "LEDImage4", "LEDImage5", "LEDImage6", "LEDImage12", "LEDImage11",
     "LEDImage10", "LEDImage9", "LEDImage8", "LEDImage7"},
    {"LEDImage2", "LEDImage13", "LEDImage14", "LEDImage15", "LEDImage16", "LEDImage17", "LEDImage23",
     "LEDImage22", "LEDImage21", "LEDImage20", "LEDImage19", "LEDImage18"},
    {"LEDImage24", "LEDImage25", "LEDImage26", "LEDImage27", "LEDImage28", "LEDImage29", "LEDImage35",
     "LEDImage34", "LEDImage33", "LEDImage32", "LEDImage31", "LEDImage30"},
}};

using Frame = std::array<int, 3>;  // lit position of each ring, -1 when dark

class PaintLog : public QObject {
public:
    std::vector<int> rings;  // ring of each LED painted, in order
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint) rings.push_back(static_cast<TLEDImage*>(o)->Tag() & 3);
        return false;
    }
};

class Form1Leds : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kolva-leds-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        platform::setClock(&clock);
        platform::setDialogs(&dialogs);
        form = std::make_unique<TForm1>(Form1Options{(dir / "kolva.INI").string()});
    }
    void TearDown() override {
        if (hook) clock.removeSettleHook(hook);
        form.reset();
        platform::setDialogs(nullptr);
        platform::setClock(nullptr);
        fs::remove_all(dir);
    }

    Frame lit() const {
        Frame f{-1, -1, -1};
        for (int r = 0; r < 3; ++r)
            for (int p = 0; p < form->rings[r].ledCount(); ++p)
                if (form->rings[r].led(p)->LEDOn()) {
                    EXPECT_EQ(f[r], -1) << "two LEDs lit on ring " << r;
                    f[r] = p;
                }
        return f;
    }
    int paints() const {
        int n = 0;
        for (const RingLed& r : form->rings)
            for (int p = 0; p < r.ledCount(); ++p) n += r.led(p)->paintCount();
        return n;
    }
    // Records the rings and the paints at every pump and pause.
    void watch() {
        hook = clock.addSettleHook([this] {
            seen.push_back(lit());
            paintsSeen.push_back(paints());
        });
    }
    // One entry per frame: the settle hook runs at the pump and again at the pause.
    std::vector<Frame> frames() const {
        std::vector<Frame> out;
        for (size_t i = 0; i + 1 < seen.size(); i += 2) {
            EXPECT_EQ(seen[i], seen[i + 1]) << "rings changed between pump and pause";
            out.push_back(seen[i]);
        }
        return out;
    }

    fs::path dir;
    platform::VirtualClock clock;
    platform::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    int hook = 0;
    std::vector<Frame> seen;
    std::vector<int> paintsSeen;
};

}  // namespace

TEST_F(Form1Leds, StartUpLeavesThreeGrayRingsInPanelOrder) {
    int count = 0;
    for (QObject* c : form->client->children())
        if (auto* led = qobject_cast<TLEDImage*>(c)) {
            ++count;
            EXPECT_EQ(led->face(), LedFace::Gray) << led->objectName().toStdString();
            EXPECT_FALSE(led->LEDOn());
            EXPECT_TRUE(led->Transparent());
            EXPECT_EQ(led->size(), QSize(13, 13));
        }
    EXPECT_EQ(count, 36);
    for (int r = 0; r < 3; ++r) {
        ASSERT_EQ(form->rings[r].ledCount(), 12);
        for (int p = 0; p < 12; ++p) {
            const TLEDImage* led = form->rings[r].led(p);
            EXPECT_EQ(led->objectName().toStdString(), kRings[r][p]) << "ring " << r << " position " << p;
            EXPECT_EQ(led->Tag(), p < 6 ? r : (0x70000000 | r));
            EXPECT_EQ(led->OnColor(), r == 2 ? clGreen : clRed);
        }
    }
    EXPECT_EQ(form->sLED1, form->rings[0].led(0));
    EXPECT_EQ(form->LEDImage[7], form->rings[0].led(11));
}

TEST_F(Form1Leds, VerifyShowWalksClockwiseAt65ms) {
    form->show();
    clock.processMessages();
    form->rings[1].lightPosition(4);  // whatever was shown before is darkened first
    watch();
    const int before = paints();
    form->flashVfyShow(1);

    EXPECT_EQ(clock.sleepCalls(), 12u);
    EXPECT_EQ(clock.sleptMs(), 12u * 65);
    ASSERT_EQ(seen.size(), 24u) << "one pump and one pause per frame";
    const auto f = frames();
    for (int p = 0; p < 12; ++p) EXPECT_EQ(f[p], (Frame{p, p, p}));
    EXPECT_EQ(paintsSeen[0] - before, 1 + 3) << "the old LED off, three on";
    for (size_t i = 2; i < paintsSeen.size(); i += 2) EXPECT_EQ(paintsSeen[i] - paintsSeen[i - 1], 6) << i;

    EXPECT_EQ(form->rings[0].led(11)->face(), LedFace::Red);
    EXPECT_EQ(form->rings[1].led(11)->face(), LedFace::Red);
    EXPECT_EQ(form->rings[2].led(11)->face(), LedFace::Green);
}

TEST_F(Form1Leds, ProgramShowRacesCounterClockwiseAt12ms) {
    form->show();
    clock.processMessages();
    PaintLog log;
    for (const RingLed& r : form->rings)
        for (int p = 0; p < r.ledCount(); ++p) r.led(p)->installEventFilter(&log);
    watch();
    form->flashPrgShow(1);

    EXPECT_EQ(clock.sleepCalls(), 12u);
    EXPECT_EQ(clock.sleptMs(), 12u * 12);
    ASSERT_EQ(seen.size(), 24u);
    const auto f = frames();
    for (int i = 0; i < 12; ++i) EXPECT_EQ(f[i], (Frame{11 - i, 11 - i, 11 - i}));
    // The right ring changes first, each change painted at once.
    ASSERT_GE(log.rings.size(), 3u);
    EXPECT_EQ(log.rings[0], 2);
    EXPECT_EQ(log.rings[1], 1);
    EXPECT_EQ(log.rings[2], 0);
    EXPECT_EQ(lit(), (Frame{0, 0, 0}));

    seen.clear();
    form->flashPrgShow(12);
    EXPECT_EQ(clock.sleepCalls(), 12u + 144);
    EXPECT_EQ(seen.size(), 288u);
}

TEST_F(Form1Leds, NoSweepsOnlyDarkens) {
    form->flashVfyShow(1);
    watch();
    const uint64_t sleeps = clock.sleepCalls();
    form->flashVfyShow(0);
    EXPECT_EQ(lit(), (Frame{-1, -1, -1}));
    form->rings[2].lightPosition(3);
    form->flashPrgShow(-3);
    EXPECT_EQ(lit(), (Frame{-1, -1, -1}));
    EXPECT_EQ(clock.sleepCalls(), sleeps);
    EXPECT_TRUE(seen.empty()) << "no pump";
}
