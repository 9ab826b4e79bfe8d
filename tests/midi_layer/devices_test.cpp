// Device lists, capabilities, opening rules and device-change notifications.
#include <atomic>

#include "platform/midi/device_events.h"
#include "tests/midi_layer/layer_support.h"

using namespace midi_test;

namespace {

class DevicesTest : public LayerTest {};

std::string outName(UINT i) {
    MIDIOUTCAPSA caps;
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) return "?";
    return caps.szPname;
}

}  // namespace

TEST_F(DevicesTest, FourteenDevicesAreListedInOrder) {
    for (int i = 0; i < 14; ++i) vm.addOutput("Port " + std::to_string(i));
    for (int i = 0; i < 14; ++i) vm.addInput("In " + std::to_string(i));
    ASSERT_EQ(midiOutGetNumDevs(), 14u);
    ASSERT_EQ(midiInGetNumDevs(), 14u);
    for (UINT i = 0; i < 14; ++i) EXPECT_EQ(outName(i), "Port " + std::to_string(i));
    MIDIINCAPSA in;
    ASSERT_EQ(midiInGetDevCapsA(13, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, "In 13");
    MIDIOUTCAPSA caps;
    EXPECT_EQ(midiOutGetDevCapsA(14, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiInGetDevCapsA(14, &in, sizeof in), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiOutGetDevCapsA(0, &caps, sizeof caps - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutGetDevCapsA(0, nullptr, sizeof caps), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInGetDevCapsA(0, &in, 4), MMSYSERR_INVALPARAM);
    HMIDIOUT h;
    EXPECT_EQ(midiOutOpen(&h, 14, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiOutOpen(nullptr, 0, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    HMIDIIN hi;
    EXPECT_EQ(midiInOpen(&hi, 0, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);  // a function, but none given
}

TEST_F(DevicesTest, NamesAreCutToTheField) {
    vm.addOutput("A rather long port name that goes on \xC3\xA9" "and on");
    vm.addOutput(std::string(30, 'x') + "\xE2\x82\xAC");  // a three-byte character across the end
    ASSERT_EQ(midiOutGetNumDevs(), 2u);
    EXPECT_EQ(outName(0), "A rather long port name that go");
    EXPECT_EQ(outName(1), std::string(30, 'x'));
}

TEST_F(DevicesTest, IndexesFollowTheLatestList) {
    const auto a = vm.addOutput("a"), b = vm.addOutput("b");
    vm.addOutput("c");
    ASSERT_EQ(midiOutGetNumDevs(), 3u);
    vm.unplug(b);
    // Until the list is taken again, index 1 is still "b" and opening it fails.
    HMIDIOUT h = nullptr;
    const MMRESULT r = midiOutOpen(&h, 1, 0, 0, CALLBACK_NULL);
    EXPECT_TRUE(r == MIDIERR_NODEVICE || r == MMSYSERR_BADDEVICEID) << r;
    ASSERT_EQ(midiOutGetNumDevs(), 2u);
    EXPECT_EQ(outName(1), "c");
    vm.replug(b);
    ASSERT_EQ(midiOutGetNumDevs(), 3u);
    EXPECT_EQ(outName(0), "a");
    (void)a;
}

TEST_F(DevicesTest, BusyAndAlreadyOpenDevicesAreAllocated) {
    const auto out = vm.addOutput("out"), in = vm.addInput("in");
    ASSERT_EQ(midiOutGetNumDevs(), 1u);
    ASSERT_EQ(midiInGetNumDevs(), 1u);
    vm.setBusy(out, true);
    vm.setBusy(in, true);
    HMIDIOUT h = nullptr;
    HMIDIIN hi = nullptr;
    EXPECT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(midiInOpen(&hi, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    vm.setBusy(out, false);
    vm.setBusy(in, false);
    ASSERT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&hi, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_TRUE(vm.isOpen(out));
    EXPECT_TRUE(vm.isOpen(in));
    HMIDIOUT h2 = nullptr;
    EXPECT_EQ(midiOutOpen(&h2, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(hi), MMSYSERR_NOERROR);
    EXPECT_FALSE(vm.isOpen(out));
    EXPECT_EQ(vm.openCount(out), 1);
}

TEST_F(DevicesTest, InputWithoutNotificationStillFillsBuffers) {
    const auto in = vm.addInput("in");
    ASSERT_EQ(midiInGetNumDevs(), 1u);
    HMIDIIN hi = nullptr;
    ASSERT_EQ(midiInOpen(&hi, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    InBuffer b;
    ASSERT_EQ(midiInPrepareHeader(hi, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(hi, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInStart(hi), MMSYSERR_NOERROR);
    vm.feed(in, sysex(37));
    platform::Sleep(1);
    EXPECT_TRUE(platform::midi::headerDone(b.hdr));
    EXPECT_EQ(b.hdr.dwBytesRecorded, 37u);
    EXPECT_EQ(midiInClose(hi), MMSYSERR_NOERROR);
}

namespace {

struct Changes {
    std::mutex m;
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    std::vector<std::thread::id> threads;
    auto handler() {
        return [this](uint32_t w, uint32_t l) {
            std::lock_guard g(m);
            seen.emplace_back(w, l);
            threads.push_back(std::this_thread::get_id());
        };
    }
};

}  // namespace

TEST_F(DevicesTest, DeviceChangesReachTheHandlerOnALayerThread) {
    Changes c;
    platform::midi::setDeviceChangeHandler(c.handler());
    const auto out = vm.addOutput("amp");
    vm.unplug(out);
    vm.replug(out);
    vm.settle();
    platform::midi::setDeviceChangeHandler({});
    vm.unplug(out);
    vm.settle();
    std::lock_guard g(c.m);
    ASSERT_EQ(c.seen.size(), 2u);
    EXPECT_EQ(c.seen[0], (std::pair<uint32_t, uint32_t>{0x8004, uint32_t(out)}));
    EXPECT_EQ(c.seen[1], (std::pair<uint32_t, uint32_t>{0x8000, uint32_t(out)}));
    for (auto t : c.threads) EXPECT_NE(t, std::this_thread::get_id());
}

TEST_F(DevicesTest, UnregisteringWaitsForACallInProgress) {
    std::atomic<bool> inside{false}, finished{false};
    platform::midi::setDeviceChangeHandler([&](uint32_t, uint32_t) {
        inside = true;
        // Long enough that an unregistering which did not wait would be seen.
        for (int i = 0; i < 200 && !finished; ++i) std::this_thread::yield();
        finished = true;
    });
    const auto out = vm.addOutput("amp");
    vm.unplug(out);
    EXPECT_TRUE(waitFor("the handler to be called", [&] { return inside.load(); }));
    platform::midi::setDeviceChangeHandler({});
    EXPECT_TRUE(finished);
}

TEST_F(DevicesTest, HandlerMayUnregisterItself) {
    std::atomic<int> calls{0};
    platform::midi::setDeviceChangeHandler([&](uint32_t, uint32_t) {
        ++calls;
        platform::midi::setDeviceChangeHandler({});
    });
    const auto out = vm.addOutput("amp");
    vm.unplug(out);
    vm.replug(out);
    vm.settle();
    EXPECT_EQ(calls.load(), 1);
}
