#pragma once
// A main window with a simulated amplifier on the virtual MIDI driver: one
// output device the program writes to and one input device it reads from.

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi/virtual_midi.h"
#include "sim/simulated_amp.h"
#include "tests/support/form_fixture.h"

class AmpFixture : public FormFixture {
protected:
    explicit AmpFixture(std::string ampVersion = "02.06") : ampVersion_(std::move(ampVersion)) {}

    void SetUp() override {
        FormFixture::SetUp();
        vm = std::make_unique<platform::midi::VirtualMidi>();
        ampIn = vm->addOutput("Kolva Amp MIDI In");    // the program writes here
        ampOut = vm->addInput("Kolva Amp MIDI Out");  // and reads here
        amp = std::make_unique<sim::SimulatedAmp>(*vm, ampIn, ampOut, ampVersion_);
    }
    void TearDown() override {
        FormFixture::TearDown();
        amp.reset();
        vm.reset();
    }

    void chooseOut() { form->Out1->actions()[1]->trigger(); }
    void chooseIn() { form->In1->actions()[1]->trigger(); }
    void choosePorts() {
        chooseOut();
        chooseIn();
    }
    // Writes the image to a file of the test's own; returns its path.
    std::string save(const std::vector<uint8_t>& image, const std::string& name = "image.syx") const {
        const std::string path = tempFile(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        return path;
    }
    // Loads the image as the loader would from a file, and forgets its boxes.
    std::vector<uint8_t> load(const std::vector<uint8_t>& image) {
        form->uploadMode = form->ReadFile(save(image).c_str());
        dialogs.clear();
        return image;
    }
    // Every box shown so far, as "text / caption".
    std::vector<std::string> boxes() const {
        std::vector<std::string> t;
        for (const auto& b : dialogs.shown()) t.push_back(b.text + " / " + b.caption);
        return t;
    }

    std::unique_ptr<platform::midi::VirtualMidi> vm;
    platform::midi::VirtualMidi::DeviceId ampIn = 0, ampOut = 0;
    std::unique_ptr<sim::SimulatedAmp> amp;

private:
    std::string ampVersion_;
};
