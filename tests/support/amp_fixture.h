#pragma once
// A main window with a simulated amplifier on the virtual MIDI driver: one
// output device the program writes to and one input device it reads from.

#include <QMenu>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/midi/virtual_midi.h"
#include "sim/simulated_amp.h"
#include "tests/support/form_fixture.h"

// to came ms after from, or at most within ms later. A block's sender waits
// for it to go out in 1 ms pauses of its own, which fall before or after the
// window's next pause: 1 ms is the least slack where blocks were sent.
inline ::testing::AssertionResult comesAfter(uint64_t from, uint64_t to, uint64_t ms, uint64_t within = 1) {
    if (to >= from + ms && to <= from + ms + within) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "came " << int64_t(to - from) << " ms after, not " << ms << " to "
                                         << ms + within;
}

class AmpFixture : public FormFixture {
protected:
    explicit AmpFixture(std::string ampVersion = "02.06") : ampVersion_(std::move(ampVersion)) {}

    void SetUp() override {
        FormFixture::SetUp();
        vm = std::make_unique<platform::midi::VirtualMidi>();
        ampIn = vm->addOutput("Kolva Amp MIDI In");    // the program writes here
        ampOut = vm->addInput("Kolva Amp MIDI Out");  // and reads here
        amp = std::make_unique<sim::SimulatedAmp>(*vm, ampIn, ampOut, ampVersion_);
        dialogs.onBox = [this](const platform::ShownBox& b) { return noteBox(b); };
    }
    void TearDown() override {
        FormFixture::TearDown();
        amp.reset();
        vm.reset();
    }

    void chooseOut() { choose(form->Out1); }
    void chooseIn() { choose(form->In1); }
    void choosePorts() {
        chooseOut();
        chooseIn();
    }
    // The amplifier's entry, the first after None; a failure while it is away.
    static void choose(QMenu* menu) {
        const auto entries = menu->actions();
        if (entries.size() < 2) {
            ADD_FAILURE() << "no amplifier in the " << menu->title().toStdString() << " menu";
            return;
        }
        entries[1]->trigger();
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
    // Keeps the virtual time of each box; an onBox of a test's own calls it
    // first. Returns "no answer of its own".
    int noteBox(const platform::ShownBox& b) {
        boxTimes_.emplace_back(b.text + " / " + b.caption, clock.nowMs());
        return -1;
    }
    // When the last box "text / caption" was shown.
    uint64_t shownAt(const std::string& text) const {
        for (auto it = boxTimes_.rbegin(); it != boxTimes_.rend(); ++it)
            if (it->first == text) return it->second;
        ADD_FAILURE() << "no box \"" << text << "\"";
        return 0;
    }
    // When the amplifier last logged a line that starts with prefix, by its
    // own tick count.
    uint64_t ampAt(const std::string& prefix) const {
        const auto events = amp->events();
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->line.rfind(prefix, 0) == 0) return it->at;
        ADD_FAILURE() << "the amplifier logged no \"" << prefix << "\"";
        return 0;
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
    std::vector<std::pair<std::string, uint64_t>> boxTimes_;
};
