// The main window's LED controls, encoder rings and light shows.
#include "app/unit1.h"

#include <array>

#include "leds/ledimage.h"
#include "platform/widgets/accessible.h"

namespace {

struct LedPlace {
    const char* name;
    int left;
    int top;
    int ring;
};

// As the form lists them: by name, not around the rings. The rings find their
// order from the positions.
constexpr std::array<LedPlace, 36> kLeds = {{
    {"sLED1", 127, 171, 0},       {"LEDImage1", 105, 159, 0},   {"LEDImage2", 333, 172, 1},
    {"LEDImage3", 93, 137, 0},    {"LEDImage4", 92, 112, 0},    {"LEDImage5", 105, 90, 0},
    {"LEDImage6", 127, 78, 0},    {"LEDImage7", 153, 172, 0},   {"LEDImage8", 175, 160, 0},
    {"LEDImage9", 188, 138, 0},   {"LEDImage10", 187, 111, 0},  {"LEDImage11", 174, 89, 0},
    {"LEDImage12", 152, 77, 0},   {"LEDImage13", 312, 159, 1},  {"LEDImage14", 299, 137, 1},
    {"LEDImage15", 299, 112, 1},  {"LEDImage16", 312, 90, 1},   {"LEDImage17", 334, 78, 1},
    {"LEDImage18", 360, 172, 1},  {"LEDImage19", 383, 160, 1},  {"LEDImage20", 394, 137, 1},
    {"LEDImage21", 394, 112, 1},  {"LEDImage22", 382, 90, 1},   {"LEDImage23", 359, 77, 1},
    {"LEDImage24", 542, 172, 2},  {"LEDImage25", 519, 159, 2},  {"LEDImage26", 507, 137, 2},
    {"LEDImage27", 507, 112, 2},  {"LEDImage28", 520, 90, 2},   {"LEDImage29", 541, 78, 2},
    {"LEDImage30", 567, 172, 2},  {"LEDImage31", 590, 159, 2},  {"LEDImage32", 601, 138, 2},
    {"LEDImage33", 601, 112, 2},  {"LEDImage34", 589, 90, 2},   {"LEDImage35", 567, 77, 2},
}};

constexpr uint32_t kVerifyPauseMs = 65;
constexpr uint32_t kProgramPauseMs = 12;

}  // namespace

void TForm1::createLeds() {
    for (size_t i = 0; i < kLeds.size(); ++i) {
        const LedPlace& p = kLeds[i];
        auto* led = new TLEDImage(client);
        led->setObjectName(p.name);
        led->setGeometry(p.left, p.top, 13, 13);
        led->setTag(p.ring);
        // What the form stores for each LED: the red face, transparent, lit.
        led->setTransparent(true);
        led->SetColor(clRed);
        led->TurnOn(true);
        accessibility::leaveOut(led);  // its ring speaks for it
        if (i == 0) sLED1 = led;
        else LEDImage[i] = led;
    }
}

void TForm1::destroyRings() {
    // The LEDs go with the window; the rings only forget them.
    for (RingLed& r : rings) r = RingLed();
}

void TForm1::init_leds() {
    for (int i = 0; i < 3; ++i) rings[i].collectLeds(client, i);
    rings[2].setOnColor(clGreen);
    for (RingLed& r : rings) r.allOff();
    // A screen reader meets each ring as one object saying what it shows.
    static const char* const names[3] = {"StompBoxes ring", "Amps ring", "Effects ring"};
    std::vector<accessibility::Part> parts;
    for (int i = 0; i < 3; ++i) parts.push_back({names[i], [this, i] { return rings[i].text(); }, rings[i].area()});
    accessibility::listChildren(client, std::move(parts));
}

void TForm1::flashVfyShow(int sweeps) {
    for (RingLed& r : rings) r.allOff();
    for (int s = 0; s < sweeps; ++s) {
        for (int p = 0; p < rings[0].ledCount(); ++p) {
            rings[0].lightPosition(p);
            rings[1].lightPosition(p);
            rings[2].lightPosition(p);
            platform::processMessages();
            platform::Sleep(kVerifyPauseMs);
        }
    }
}

void TForm1::flashPrgShow(int sweeps) {
    for (RingLed& r : rings) r.allOff();
    for (int s = 0; s < sweeps; ++s) {
        const int n = rings[0].ledCount();
        for (int p = n - 1; p >= 0; --p) {
            rings[2].lightPosition(p);
            rings[1].lightPosition(p);
            rings[0].lightPosition(p);
            platform::processMessages();
            platform::Sleep(kProgramPauseMs);
        }
    }
}
