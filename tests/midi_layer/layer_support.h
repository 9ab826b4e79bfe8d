#pragma once
// Shared pieces of the MIDI layer tests: the virtual clock as process clock,
// the virtual driver, and a notification recorder.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/midi/midi_layer.h"
#include "platform/midi/mmsystem.h"
#include "platform/midi/virtual_midi.h"
#include "tests/support/bounded_wait.h"

namespace midi_test {

using platform::midi::VirtualMidi;

// The virtual clock as the process clock from before the driver comes up
// until after it has gone.
struct InstalledClock {
    InstalledClock() { platform::setClock(&vc); }
    ~InstalledClock() { platform::setClock(nullptr); }
    uint64_t nowMs() const { return vc.nowMs(); }
    void advance(uint64_t ms) { vc.advance(ms); }
    void runFor(uint64_t ms) { vc.runFor(ms); }
    platform::VirtualClock vc;
};

inline std::vector<uint8_t> sysex(size_t length, uint8_t seed = 0) {
    std::vector<uint8_t> m(length);
    for (size_t i = 0; i < length; ++i) m[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

// A block to send, with its header.
struct Block {
    explicit Block(std::vector<uint8_t> b) : bytes(std::move(b)) {
        hdr = {};
        hdr.lpData = reinterpret_cast<char*>(bytes.data());
        hdr.dwBufferLength = static_cast<DWORD>(bytes.size());
    }
    DWORD flags() const { return platform::midi::loadFlags(hdr); }
    bool done() const { return platform::midi::headerDone(hdr); }
    std::vector<uint8_t> bytes;
    MIDIHDR hdr;
};

// A receive buffer.
struct InBuffer {
    explicit InBuffer(size_t n = 16000) : data(n) {
        hdr = {};
        hdr.lpData = reinterpret_cast<char*>(data.data());
        hdr.dwBufferLength = static_cast<DWORD>(n);
    }
    std::vector<uint8_t> data;
    MIDIHDR hdr;
};

// Records what an input handle reports. The optional react function runs
// inside the notification, on the layer's thread.
struct Recorder {
    struct Note {
        UINT msg;
        DWORD_PTR p1, p2;
        std::vector<uint8_t> bytes;  // long data as recorded
        std::thread::id thread;
    };
    std::mutex m;
    std::condition_variable cv;
    std::vector<Note> notes;
    // What to do inside each notification, on the layer's thread.
    void setReact(std::function<void(HMIDIIN, UINT, DWORD_PTR)> f) {
        std::lock_guard l(m);
        react = std::move(f);
    }
    std::function<void(HMIDIIN, UINT, DWORD_PTR)> react;
    std::atomic<bool> reacting{true};

    static void CALLBACK proc(HMIDIIN h, UINT msg, DWORD_PTR inst, DWORD_PTR p1, DWORD_PTR p2) {
        auto* self = reinterpret_cast<Recorder*>(inst);
        Note n{msg, p1, p2, {}, std::this_thread::get_id()};
        if (msg == MIM_LONGDATA || msg == MIM_LONGERROR) {
            auto* hdr = reinterpret_cast<MIDIHDR*>(p1);
            const auto* d = reinterpret_cast<const uint8_t*>(hdr->lpData);
            n.bytes.assign(d, d + hdr->dwBytesRecorded);
        }
        std::function<void(HMIDIIN, UINT, DWORD_PTR)> react;
        {
            std::lock_guard l(self->m);
            self->notes.push_back(std::move(n));
            if (self->reacting) react = self->react;
        }
        self->cv.notify_all();
        if (react) react(h, msg, p1);
    }
    std::vector<Note> of(UINT msg) {
        std::lock_guard l(m);
        std::vector<Note> r;
        for (auto& n : notes)
            if (n.msg == msg) r.push_back(n);
        return r;
    }
    // A bounded wait that normally returns at once (after settle()).
    bool waitFor(UINT msg, size_t count) {
        std::unique_lock l(m);
        return cv.wait_for(l, std::chrono::seconds(10), [&] {
            size_t k = 0;
            for (auto& n : notes) k += n.msg == msg;
            return k >= count;
        });
    }
    DWORD_PTR callback() const { return reinterpret_cast<DWORD_PTR>(&Recorder::proc); }
    DWORD_PTR instance() { return reinterpret_cast<DWORD_PTR>(this); }
};

class LayerTest : public ::testing::Test {
protected:
    // The device's index in the layer's current list.
    UINT outIndex(VirtualMidi::DeviceId id) { return indexOf(id, true); }
    UINT inIndex(VirtualMidi::DeviceId id) { return indexOf(id, false); }

    HMIDIOUT openOut(VirtualMidi::DeviceId id) {
        HMIDIOUT h = nullptr;
        EXPECT_EQ(midiOutOpen(&h, outIndex(id), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        return h;
    }
    HMIDIIN openIn(VirtualMidi::DeviceId id, Recorder& r) {
        HMIDIIN h = nullptr;
        EXPECT_EQ(midiInOpen(&h, inIndex(id), r.callback(), r.instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        return h;
    }
    MMRESULT send(HMIDIOUT h, Block& b) {
        EXPECT_EQ(midiOutPrepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        return midiOutLongMsg(h, &b.hdr, sizeof(MIDIHDR));
    }
    void add(HMIDIIN h, InBuffer& b) {
        ASSERT_EQ(midiInPrepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    }

    InstalledClock clock;
    VirtualMidi vm;

    VirtualMidi::DeviceId addOut() {
        const std::string name = "out" + std::to_string(++made_);
        const auto id = vm.addOutput(name);
        names_[id] = name;
        return id;
    }
    VirtualMidi::DeviceId addIn() {
        const std::string name = "in" + std::to_string(++made_);
        const auto id = vm.addInput(name);
        names_[id] = name;
        return id;
    }

private:
    UINT indexOf(VirtualMidi::DeviceId id, bool out) {
        const std::string& want = names_[id];
        const UINT n = out ? midiOutGetNumDevs() : midiInGetNumDevs();
        for (UINT i = 0; i < n; ++i) {
            char name[MAXPNAMELEN] = {};
            if (out) {
                MIDIOUTCAPSA caps;
                midiOutGetDevCapsA(i, &caps, sizeof caps);
                std::memcpy(name, caps.szPname, sizeof name);
            } else {
                MIDIINCAPSA caps;
                midiInGetDevCapsA(i, &caps, sizeof caps);
                std::memcpy(name, caps.szPname, sizeof name);
            }
            if (want == name) return i;
        }
        ADD_FAILURE() << "no device " << want;
        return 0xFFFF;
    }
    std::map<VirtualMidi::DeviceId, std::string> names_;
    int made_ = 0;
};

}  // namespace midi_test
