#pragma once
// A main window built for a test: a settings file in a fresh temporary folder,
// the virtual clock and scripted dialogs installed before construction, and
// the hidden windows created the way the program entry creates them.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "app/unit1.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "setup/unit3.h"
#include "setup/unit4.h"

// A box that tells the user to power cycle the amp now; the fallback for an
// amp that never restarts ("after five minutes") is not such advice.
inline bool asksForPowerCycleNow(const std::string& text) {
    return text.find("ower cycle") != std::string::npos && text.find("after five minutes") == std::string::npos;
}

class FormFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds TForm1, then TForm3 and TForm4, then arms the wizard timer.
    void start();
    // Closes the window as the close box would and destroys all three windows.
    void stop();

    // Chooses the menu entry named name; false when the menu has none.
    static bool chooseEntry(QMenu* menu, const std::string& name);
    // The user at "Now select the MIDI device.": opens the Midi menu (which
    // rebuilds its lists while nothing is chosen) every 200 ms until the
    // port is back in it, then chooses it for output and input.
    void chooseWhenThere(const std::string& name);
    // Run > Upload Code in real time: a run still going after limit is ended
    // as the close box ends it. False when it had to be.
    bool uploadWithin(std::chrono::milliseconds limit);

    std::string iniText() const;
    void writeIni(const std::string& text) const;
    // A file of the test's own in the temporary folder.
    std::string tempFile(const std::string& name) const;

    std::filesystem::path dir;
    std::string iniPath;
    platform::VirtualClock clock;
    platform::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TForm3> form3;
    std::unique_ptr<TForm4> form4;
};
