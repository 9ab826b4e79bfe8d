// The output side of the MIDI layer over the virtual driver, under the
// virtual clock.
#include <atomic>
#include <thread>

#include "tests/midi_layer/layer_support.h"

using namespace midi_test;

namespace {

class OutputTest : public LayerTest {
protected:
    void SetUp() override {
        dev = addOut();
        h = openOut(dev);
        ASSERT_NE(h, nullptr);
    }
    void TearDown() override {
        if (h) {
            midiOutReset(h);
            EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
        }
    }
    // What a caller does: poll the flag, pausing a millisecond at a time.
    uint64_t waitDone(const Block& b, uint64_t limitMs = 100000) {
        const uint64_t start = clock.nowMs();
        while (!b.done() && clock.nowMs() - start < limitMs) platform::Sleep(1);
        return clock.nowMs() - start;
    }
    VirtualMidi::DeviceId dev = 0;
    HMIDIOUT h = nullptr;
};

}  // namespace

TEST_F(OutputTest, BlockIsQueuedThenDoneAfterTheFirstPause) {
    Block b(sysex(1000));
    ASSERT_EQ(send(h, b), MMSYSERR_NOERROR);
    EXPECT_TRUE(b.flags() & MHDR_PREPARED);
    platform::Sleep(1);
    EXPECT_TRUE(b.done());
    EXPECT_FALSE(b.flags() & MHDR_INQUEUE);
    EXPECT_EQ(vm.sent(dev), b.bytes);
    EXPECT_EQ(midiOutUnprepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_FALSE(b.flags() & MHDR_PREPARED);
}

TEST_F(OutputTest, TinyAndHugeBlocksAreSentWhole) {
    Block tiny(std::vector<uint8_t>{0xF0, 0xF7});
    Block huge(sysex(1048576 + 17));
    ASSERT_EQ(send(h, tiny), MMSYSERR_NOERROR);
    ASSERT_EQ(send(h, huge), MMSYSERR_NOERROR);
    waitDone(huge);
    auto expect = tiny.bytes;
    expect.insert(expect.end(), huge.bytes.begin(), huge.bytes.end());
    EXPECT_EQ(vm.sent(dev), expect);
}

TEST_F(OutputTest, HeaderRulesWhileQueued) {
    vm.setWireRate(dev, 31250);
    Block b(sysex(1000));
    Block unprepared(sysex(10));
    EXPECT_EQ(midiOutLongMsg(h, &unprepared.hdr, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
    ASSERT_EQ(send(h, b), MMSYSERR_NOERROR);
    EXPECT_TRUE(b.flags() & MHDR_INQUEUE);
    EXPECT_FALSE(b.flags() & MHDR_DONE);
    EXPECT_EQ(midiOutLongMsg(h, &b.hdr, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);  // not twice
    EXPECT_EQ(midiOutUnprepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
    // The caller's close loop: answered at once, time does not move meanwhile.
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(midiOutClose(h), MIDIERR_STILLPLAYING);
    waitDone(b);
    EXPECT_EQ(midiOutUnprepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    h = nullptr;
    EXPECT_FALSE(vm.isOpen(dev));
}

TEST_F(OutputTest, CloseLoopFromAnotherThreadDoesNotStarveTheSender) {
    // Instant port, real work for the sender: 1 MiB while a thread hammers close.
    Block b(sysex(1 << 20));
    ASSERT_EQ(send(h, b), MMSYSERR_NOERROR);
    std::thread closer([&] {
        EXPECT_TRUE(waitFor("the output to close", [&] { return midiOutClose(h) != MIDIERR_STILLPLAYING; }));
    });
    closer.join();
    EXPECT_TRUE(b.done());
    EXPECT_EQ(vm.sent(dev).size(), b.bytes.size());
    h = nullptr;
}

TEST_F(OutputTest, WirePaceFollowsVirtualTime) {
    vm.setWireRate(dev, 31250);
    Block b(sysex(1000));  // 320 ms on the wire
    ASSERT_EQ(send(h, b), MMSYSERR_NOERROR);
    const uint64_t took = waitDone(b);
    EXPECT_GE(took, 320u);
    EXPECT_LE(took, 322u);
    EXPECT_EQ(vm.sent(dev), b.bytes);
}

TEST_F(OutputTest, PeerSeesTheBlockOnALayerThread) {
    std::mutex m;
    std::vector<uint8_t> got;
    std::vector<std::thread::id> threads;
    vm.connect(dev, [&](const uint8_t* d, size_t n) {
        std::lock_guard l(m);
        got.insert(got.end(), d, d + n);
        threads.push_back(std::this_thread::get_id());
    });
    Block b(sysex(500));
    ASSERT_EQ(send(h, b), MMSYSERR_NOERROR);
    vm.settle();
    std::lock_guard l(m);
    EXPECT_EQ(got, b.bytes);
    ASSERT_FALSE(threads.empty());
    for (auto t : threads) EXPECT_NE(t, std::this_thread::get_id());
}

TEST_F(OutputTest, BlocksFromTwoThreadsAreNeverInterleaved) {
    constexpr int kEach = 40;
    std::vector<std::unique_ptr<Block>> blocks;
    for (int i = 0; i < 2 * kEach; ++i) blocks.push_back(std::make_unique<Block>(sysex(300 + i, uint8_t(i))));
    auto sender = [&](int from) {
        for (int i = from; i < from + kEach; ++i) {
            ASSERT_EQ(send(h, *blocks[i]), MMSYSERR_NOERROR);
        }
    };
    std::thread a(sender, 0), b(sender, kEach);
    a.join();
    b.join();
    vm.settle();
    // Cut the stream at each F0 and match every piece to a whole block.
    const auto s = vm.sent(dev);
    std::vector<std::vector<uint8_t>> pieces;
    for (uint8_t byte : s) {
        if (byte == 0xF0) pieces.emplace_back();
        ASSERT_FALSE(pieces.empty());
        pieces.back().push_back(byte);
    }
    ASSERT_EQ(pieces.size(), blocks.size());
    int lastA = -1, lastB = -1;
    for (auto& p : pieces) {
        auto it = std::find_if(blocks.begin(), blocks.end(), [&](auto& b) { return b->bytes == p; });
        ASSERT_NE(it, blocks.end());
        const int i = int(it - blocks.begin());
        // Each thread's blocks go out in the order it queued them.
        int& last = i < kEach ? lastA : lastB;
        EXPECT_GT(i, last);
        last = i;
    }
}

TEST_F(OutputTest, ResetReturnsEveryQueuedBlockAndEndsTheCutOne) {
    vm.setWireRate(dev, 31250);
    Block first(sysex(1000)), second(sysex(1000, 5));
    ASSERT_EQ(send(h, first), MMSYSERR_NOERROR);
    ASSERT_EQ(send(h, second), MMSYSERR_NOERROR);
    clock.runFor(100);  // a part of the first is on the wire
    EXPECT_FALSE(first.done());
    EXPECT_EQ(midiOutReset(h), MMSYSERR_NOERROR);
    EXPECT_TRUE(first.done());
    EXPECT_TRUE(second.done());
    EXPECT_FALSE(first.flags() & MHDR_INQUEUE);
    const auto s = vm.sent(dev);
    ASSERT_GT(s.size(), 1u);
    EXPECT_LT(s.size(), 1000u);
    EXPECT_EQ(s.back(), 0xF7);
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    h = nullptr;
}

TEST_F(OutputTest, ShortMessagesGoOutWholeWithRunningStatus) {
    EXPECT_EQ(midiOutShortMsg(h, 0x00004540), MMSYSERR_INVALPARAM);  // no status yet
    EXPECT_EQ(midiOutShortMsg(h, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(h, 0x00004540), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(h, 0x000005C1), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(h, 0x000000F8), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(h, 0x00000006), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(h, 0x000000F0), MMSYSERR_INVALPARAM);
    // Sent by the time the call returns.
    EXPECT_EQ(vm.sent(dev),
              (std::vector<uint8_t>{0x90, 0x3C, 0x40, 0x90, 0x40, 0x45, 0xC1, 0x05, 0xF8, 0xC1, 0x06}));
}

TEST_F(OutputTest, ShortMessageWaitsItsTurnBehindABlock) {
    vm.setWireRate(dev, 31250);
    Block b(sysex(300));
    ASSERT_EQ(send(h, b), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(h, 0x00403C90), MMSYSERR_NOERROR);  // returns without waiting for the wire
    waitDone(b);
    vm.settle();
    auto expect = b.bytes;
    expect.insert(expect.end(), {0x90, 0x3C, 0x40});
    EXPECT_EQ(vm.sent(dev), expect);
}

TEST_F(OutputTest, UnpluggedWhileSendingEndsTheBlockWithAnError) {
    vm.setWireRate(dev, 31250);
    Block b(sysex(5000));
    ASSERT_EQ(send(h, b), MMSYSERR_NOERROR);
    clock.runFor(50);
    vm.unplug(dev);
    platform::Sleep(1);
    EXPECT_TRUE(b.done());
    EXPECT_LT(vm.sent(dev).size(), b.bytes.size());
    Block again(sysex(10));
    EXPECT_EQ(send(h, again), MIDIERR_NODEVICE);
    EXPECT_TRUE(again.done());  // a caller waiting on the flag does not hang
    EXPECT_EQ(midiOutShortMsg(h, 0x00403C90), MIDIERR_NODEVICE);
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    h = nullptr;
    // Gone from the list; opening by its old index fails.
    EXPECT_EQ(midiOutGetNumDevs(), 0u);
    HMIDIOUT h2 = nullptr;
    EXPECT_EQ(midiOutOpen(&h2, 0, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    vm.replug(dev);
    h = openOut(dev);
    EXPECT_EQ(vm.openCount(dev), 2);
}

TEST_F(OutputTest, StaleAndGarbageHandlesAreRefused) {
    Block b(sysex(10));
    ASSERT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    HMIDIOUT stale = h;
    h = nullptr;
    EXPECT_EQ(midiOutClose(stale), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutShortMsg(stale, 0x90), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutPrepareHeader(stale, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutLongMsg(stale, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutReset(stale), MMSYSERR_INVALHANDLE);
    // The slot is used again; the old handle still does not reach the new one.
    h = openOut(dev);
    EXPECT_NE(h, stale);
    EXPECT_EQ(midiOutShortMsg(stale, 0x90), MMSYSERR_INVALHANDLE);
    for (uintptr_t v : {uintptr_t(0), uintptr_t(1), uintptr_t(0xDEADBEEF), ~uintptr_t(0), uintptr_t(0x80000101)})
        EXPECT_EQ(midiOutClose(reinterpret_cast<HMIDIOUT>(v)), MMSYSERR_INVALHANDLE) << v;
    // Bad headers on a good handle.
    EXPECT_EQ(midiOutPrepareHeader(h, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutPrepareHeader(h, &b.hdr, sizeof(MIDIHDR) - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutLongMsg(h, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
}

TEST_F(OutputTest, DoneNotificationsComeFromTheSenderThread) {
    struct Log {
        std::mutex m;
        std::vector<std::pair<UINT, std::thread::id>> seen;
        static void CALLBACK proc(HMIDIOUT, UINT msg, DWORD_PTR inst, DWORD_PTR, DWORD_PTR) {
            auto* self = reinterpret_cast<Log*>(inst);
            std::lock_guard l(self->m);
            self->seen.emplace_back(msg, std::this_thread::get_id());
        }
    } log;
    const auto dev2 = addOut();
    HMIDIOUT h2 = nullptr;
    ASSERT_EQ(midiOutOpen(&h2, outIndex(dev2), reinterpret_cast<DWORD_PTR>(&Log::proc),
                          reinterpret_cast<DWORD_PTR>(&log), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    Block b(sysex(100));
    ASSERT_EQ(send(h2, b), MMSYSERR_NOERROR);
    vm.settle();
    ASSERT_EQ(midiOutClose(h2), MMSYSERR_NOERROR);
    std::lock_guard l(log.m);
    ASSERT_EQ(log.seen.size(), 3u);
    EXPECT_EQ(log.seen[0].first, MOM_OPEN);
    EXPECT_EQ(log.seen[1].first, MOM_DONE);
    EXPECT_EQ(log.seen[2].first, MOM_CLOSE);
    for (auto& [msg, t] : log.seen) EXPECT_NE(t, std::this_thread::get_id());
}

TEST_F(OutputTest, RemovingTheDriverClosesItsHandles) {
    HMIDIOUT h2 = nullptr;
    Block b(sysex(2000));
    {
        VirtualMidi inner;
        const auto d = inner.addOutput("inner");
        inner.setWireRate(d, 31250);
        ASSERT_EQ(midiOutGetNumDevs(), 1u);
        ASSERT_EQ(midiOutOpen(&h2, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        ASSERT_EQ(send(h2, b), MMSYSERR_NOERROR);
    }
    EXPECT_TRUE(b.done());
    EXPECT_EQ(midiOutClose(h2), MMSYSERR_INVALHANDLE);
    // The outer driver is back, with its handle still working.
    EXPECT_EQ(midiOutShortMsg(h, 0xF8), MMSYSERR_NOERROR);
    EXPECT_EQ(vm.sent(dev), std::vector<uint8_t>{0xF8});
}
