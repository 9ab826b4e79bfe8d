// What the virtual clock relies on: a pause delivers everything that is due,
// however the deliveries lead to one another, and notification handlers that
// call back into the layer (or pause themselves) do not wedge it.
#include <atomic>

#include "tests/midi_layer/layer_support.h"

using namespace midi_test;

namespace {

class SettleTest : public LayerTest {
protected:
    void SetUp() override {
        out = addOut();
        in = addIn();
        ho = openOut(out);
        hi = openIn(in, rec);
        ASSERT_EQ(midiInStart(hi), MMSYSERR_NOERROR);
        for (auto& b : bufs) add(hi, b);
    }
    void TearDown() override {
        rec.reacting = false;
        midiInReset(hi);
        EXPECT_EQ(midiInClose(hi), MMSYSERR_NOERROR);
        midiOutReset(ho);
        EXPECT_EQ(midiOutClose(ho), MMSYSERR_NOERROR);
    }
    VirtualMidi::DeviceId out = 0, in = 0;
    HMIDIOUT ho = nullptr;
    HMIDIIN hi = nullptr;
    Recorder rec;
    InBuffer bufs[2];
};

}  // namespace

TEST_F(SettleTest, ARoundTripChainCompletesInOnePause) {
    // The peer answers every block; every answer makes the handler send the
    // next block, from the notification thread, 20 times over.
    vm.connect(out, [&](const uint8_t* d, size_t n) {
        if (n && d[n - 1] == 0xF7) vm.feed(in, sysex(37, d[1]));
    });
    std::vector<std::unique_ptr<Block>> blocks;
    for (int i = 0; i < 21; ++i) blocks.push_back(std::make_unique<Block>(sysex(12, uint8_t(i))));
    for (auto& b : blocks) ASSERT_EQ(midiOutPrepareHeader(ho, &b->hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    std::atomic<int> next{1};
    rec.setReact([&](HMIDIIN h, UINT msg, DWORD_PTR p1) {
        if (msg != MIM_LONGDATA) return;
        midiInAddBuffer(h, reinterpret_cast<MIDIHDR*>(p1), sizeof(MIDIHDR));
        const int i = next++;
        if (i < 21) {
            EXPECT_EQ(midiOutLongMsg(ho, &blocks[i]->hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        }
    });
    const uint64_t t0 = clock.nowMs();
    ASSERT_EQ(midiOutLongMsg(ho, &blocks[0]->hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    platform::Sleep(1);
    EXPECT_EQ(rec.of(MIM_LONGDATA).size(), 21u);
    EXPECT_EQ(clock.nowMs() - t0, 1u);
    for (auto& b : blocks) EXPECT_TRUE(b->done());
}

TEST_F(SettleTest, HandlerThatPausesDoesNotWedgeThePause) {
    std::atomic<int> paused{0};
    rec.setReact([&](HMIDIIN, UINT msg, DWORD_PTR) {
        if (msg != MIM_DATA) return;
        platform::Sleep(1);  // settles from a layer thread: must return at once
        ++paused;
    });
    vm.feed(in, {0x90, 0x3C, 0x40});
    platform::Sleep(1);
    EXPECT_EQ(paused.load(), 1);
}

TEST_F(SettleTest, HandlerMayResetAndSendFromInside) {
    vm.setWireRate(out, 31250);
    Block slow(sysex(3000));
    ASSERT_EQ(send(ho, slow), MMSYSERR_NOERROR);
    rec.setReact([&](HMIDIIN h, UINT msg, DWORD_PTR) {
        if (msg != MIM_LONGDATA) return;
        EXPECT_EQ(midiOutReset(ho), MMSYSERR_NOERROR);
        EXPECT_EQ(midiOutShortMsg(ho, 0x00403C90), MMSYSERR_NOERROR);
        EXPECT_EQ(midiInReset(h), MMSYSERR_NOERROR);  // its own handle: returns without waiting for itself
    });
    vm.feed(in, sysex(20));
    platform::Sleep(1);
    EXPECT_TRUE(slow.done());
    const auto s = vm.sent(out);
    ASSERT_GE(s.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(s.end() - 3, s.end()), (std::vector<uint8_t>{0x90, 0x3C, 0x40}));
    // Both buffers came back: the one filled and the one the reset returned.
    EXPECT_EQ(rec.of(MIM_LONGDATA).size(), 2u);
}

TEST_F(SettleTest, WireTimeIsNotDeliveredBeforeItIsDue) {
    vm.setWireRate(out, 31250);
    Block b(sysex(640));  // 204.8 ms
    ASSERT_EQ(send(ho, b), MMSYSERR_NOERROR);
    clock.runFor(200);
    EXPECT_FALSE(b.done());
    EXPECT_EQ(vm.sent(out).size(), 512u);  // four chunks of 128 have been carried
    clock.runFor(5);
    EXPECT_TRUE(b.done());
    EXPECT_EQ(vm.sent(out), b.bytes);
}

// Without a virtual clock the same paths run on real time; the waits here are
// for threads, not for time.
TEST(RealClockLayer, SendAndReceiveWithoutAVirtualClock) {
    VirtualMidi vm;
    const auto out = vm.addOutput("o"), in = vm.addInput("i");
    vm.connect(out, [&](const uint8_t*, size_t) { vm.feed(in, sysex(37)); });
    ASSERT_EQ(midiOutGetNumDevs(), 1u);
    ASSERT_EQ(midiInGetNumDevs(), 1u);
    HMIDIOUT ho = nullptr;
    HMIDIIN hi = nullptr;
    Recorder rec;
    ASSERT_EQ(midiOutOpen(&ho, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&hi, 0, rec.callback(), rec.instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    InBuffer buf;
    ASSERT_EQ(midiInPrepareHeader(hi, &buf.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(hi, &buf.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInStart(hi), MMSYSERR_NOERROR);
    Block b(sysex(100));
    ASSERT_EQ(midiOutPrepareHeader(ho, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(ho, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.waitFor(MIM_LONGDATA, 1));
    EXPECT_EQ(rec.of(MIM_LONGDATA)[0].bytes, sysex(37));
    vm.settle();
    EXPECT_TRUE(b.done());
    EXPECT_TRUE(waitFor("the output to close", [&] { return midiOutClose(ho) != MIDIERR_STILLPLAYING; }));
    EXPECT_EQ(midiInClose(hi), MMSYSERR_NOERROR);
}
