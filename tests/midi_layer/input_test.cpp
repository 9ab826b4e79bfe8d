// The input side of the MIDI layer over the virtual driver, under the
// virtual clock.
#include <atomic>

#include "tests/midi_layer/layer_support.h"

using namespace midi_test;

namespace {

class InputTest : public LayerTest {
protected:
    void SetUp() override {
        dev = addIn();
        h = openIn(dev, rec);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(midiInStart(h), MMSYSERR_NOERROR);
    }
    void TearDown() override {
        rec.reacting = false;  // no re-queueing while the buffers come back
        if (h) {
            midiInReset(h);
            EXPECT_EQ(midiInClose(h), MMSYSERR_NOERROR);
        }
    }
    // Every long notification's bytes, joined in order.
    std::vector<uint8_t> joined() {
        std::vector<uint8_t> all;
        for (auto& n : rec.of(MIM_LONGDATA)) all.insert(all.end(), n.bytes.begin(), n.bytes.end());
        return all;
    }
    // Buffers outlive the test body: the handle is reset in TearDown.
    InBuffer& buffer(size_t n = 16000) { return *buffers_.emplace_back(std::make_unique<InBuffer>(n)); }
    VirtualMidi::DeviceId dev = 0;
    HMIDIIN h = nullptr;
    Recorder rec;

private:
    std::vector<std::unique_ptr<InBuffer>> buffers_;
};

}  // namespace

TEST_F(InputTest, ShortReplyIsOneNotificationOnALayerThread) {
    InBuffer& b = buffer();
    add(h, b);
    const auto reply = sysex(37);
    vm.feed(dev, reply);
    vm.settle();
    auto longs = rec.of(MIM_LONGDATA);
    ASSERT_EQ(longs.size(), 1u);
    EXPECT_EQ(longs[0].bytes, reply);
    EXPECT_EQ(longs[0].p1, reinterpret_cast<DWORD_PTR>(&b.hdr));
    EXPECT_NE(longs[0].thread, std::this_thread::get_id());
    EXPECT_EQ(b.hdr.dwBytesRecorded, 37u);
    EXPECT_TRUE(platform::midi::headerDone(b.hdr));
    EXPECT_FALSE(platform::midi::loadFlags(b.hdr) & MHDR_INQUEUE);
    // MIM_OPEN came first, from the same thread.
    ASSERT_FALSE(rec.notes.empty());
    EXPECT_EQ(rec.notes[0].msg, MIM_OPEN);
}

TEST_F(InputTest, LongMessageIsSplitAcrossBuffers) {
    InBuffer& b1 = buffer();
    InBuffer& b2 = buffer();
    add(h, b1);
    add(h, b2);
    const auto m = sysex(20000);
    // Arriving as system input does, in pieces of 256.
    for (size_t off = 0; off < m.size(); off += 256)
        vm.feed(dev, std::vector<uint8_t>(m.begin() + off, m.begin() + std::min(m.size(), off + 256)));
    vm.settle();
    auto longs = rec.of(MIM_LONGDATA);
    ASSERT_EQ(longs.size(), 2u);
    EXPECT_EQ(longs[0].bytes.size(), 16000u);
    EXPECT_EQ(longs[1].bytes.size(), 4000u);
    EXPECT_EQ(joined(), m);
}

TEST_F(InputTest, NotificationMayQueueItsBufferAgain) {
    InBuffer& b = buffer(64);
    // As the port component does: from inside the notification, back in the queue.
    rec.setReact([](HMIDIIN hi, UINT msg, DWORD_PTR p1) {
        if (msg != MIM_LONGDATA) return;
        auto* hdr = reinterpret_cast<MIDIHDR*>(p1);
        EXPECT_EQ(midiInUnprepareHeader(hi, hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(midiInPrepareHeader(hi, hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(midiInAddBuffer(hi, hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    });
    add(h, b);
    std::vector<uint8_t> all;
    for (int i = 0; i < 50; ++i) {
        const auto m = sysex(10 + i * 5, uint8_t(i));  // up to 255 bytes: several fills of the one buffer
        all.insert(all.end(), m.begin(), m.end());
        vm.feed(dev, m);
    }
    vm.settle();
    EXPECT_EQ(joined(), all);
}

TEST_F(InputTest, ResetReturnsEveryBufferBeforeItReturns) {
    InBuffer& b1 = buffer();
    InBuffer& b2 = buffer();
    InBuffer& b3 = buffer();
    add(h, b1);
    add(h, b2);
    add(h, b3);
    const auto part = sysex(100);
    vm.feed(dev, std::vector<uint8_t>(part.begin(), part.begin() + 30));  // a message in progress
    vm.settle();
    EXPECT_EQ(midiInClose(h), MIDIERR_STILLPLAYING);
    ASSERT_EQ(midiInReset(h), MMSYSERR_NOERROR);
    auto longs = rec.of(MIM_LONGDATA);
    ASSERT_EQ(longs.size(), 3u);
    EXPECT_EQ(longs[0].bytes.size(), 30u);
    EXPECT_EQ(longs[1].bytes.size(), 0u);
    EXPECT_EQ(longs[2].bytes.size(), 0u);
    for (auto* b : {&b1, &b2, &b3}) EXPECT_TRUE(platform::midi::headerDone(b->hdr));
    EXPECT_EQ(midiInClose(h), MMSYSERR_NOERROR);
    h = nullptr;
    // MIM_CLOSE was the last word, and nothing follows the close.
    ASSERT_FALSE(rec.notes.empty());
    EXPECT_EQ(rec.notes.back().msg, MIM_CLOSE);
    const size_t count = rec.notes.size();
    vm.feed(dev, sysex(10));
    vm.settle();
    EXPECT_EQ(rec.notes.size(), count);
    EXPECT_FALSE(vm.isOpen(dev));
}

TEST_F(InputTest, StopHandsBackThePartlyFilledBufferOnly) {
    InBuffer& b1 = buffer();
    InBuffer& b2 = buffer();
    add(h, b1);
    add(h, b2);
    const auto m = sysex(100);
    vm.feed(dev, std::vector<uint8_t>(m.begin(), m.begin() + 40));
    ASSERT_EQ(midiInStop(h), MMSYSERR_NOERROR);
    auto longs = rec.of(MIM_LONGDATA);
    ASSERT_EQ(longs.size(), 1u);
    EXPECT_EQ(longs[0].bytes.size(), 40u);
    EXPECT_FALSE(platform::midi::headerDone(b2.hdr));
    // Stopped: input is not kept.
    vm.feed(dev, sysex(10));
    vm.settle();
    EXPECT_EQ(rec.of(MIM_LONGDATA).size(), 1u);
    ASSERT_EQ(midiInStart(h), MMSYSERR_NOERROR);
    vm.feed(dev, sysex(10));
    vm.settle();
    EXPECT_EQ(rec.of(MIM_LONGDATA).size(), 2u);
}

TEST_F(InputTest, ShortMessagesArriveAsDataWithTimeStamps) {
    clock.advance(250);
    vm.feed(dev, {0x90, 0x3C, 0x40, 0x3E, 0x41, 0xFE});
    vm.settle();
    auto data = rec.of(MIM_DATA);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[0].p1, 0x403C90u);
    EXPECT_EQ(data[1].p1, 0x413E90u);
    EXPECT_EQ(data[2].p1, 0xFEu);
    EXPECT_EQ(data[0].p2, 250u);  // ms since midiInStart
}

TEST_F(InputTest, MessageCutShortComesBackAsAnError) {
    InBuffer& b = buffer();
    add(h, b);
    vm.feed(dev, {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x40});
    vm.settle();
    auto errs = rec.of(MIM_LONGERROR);
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0].bytes, (std::vector<uint8_t>{0xF0, 0x01, 0x02}));
    EXPECT_EQ(rec.of(MIM_DATA).size(), 1u);
}

TEST_F(InputTest, InputWaitsForABufferQueuedLater) {
    const auto m = sysex(5000);
    vm.feed(dev, m);
    vm.settle();
    EXPECT_TRUE(rec.of(MIM_LONGDATA).empty());
    InBuffer& b = buffer();
    add(h, b);
    vm.settle();
    EXPECT_EQ(joined(), m);
}

TEST_F(InputTest, FloodWithoutBuffersIsDroppedNotHeld) {
    // Far more than is held for want of a buffer: the message goes, and what
    // follows it still arrives.
    const auto flood = sysex(2 << 20);
    for (size_t off = 0; off < flood.size(); off += 65536)
        vm.feed(dev, std::vector<uint8_t>(flood.begin() + off, flood.begin() + std::min(flood.size(), off + 65536)));
    vm.feed(dev, {0x90, 0x3C, 0x40});
    vm.settle();
    EXPECT_EQ(rec.of(MIM_DATA).size(), 1u);
    InBuffer& b = buffer();
    add(h, b);
    const auto next = sysex(37);
    vm.feed(dev, next);
    vm.settle();
    auto longs = rec.of(MIM_LONGDATA);
    ASSERT_EQ(longs.size(), 1u);
    EXPECT_EQ(longs[0].bytes, next);
}

TEST_F(InputTest, FloodWithBuffersLosesNothing) {
    for (int i = 0; i < 4; ++i) add(h, buffer(1000));
    rec.setReact([](HMIDIIN hi, UINT msg, DWORD_PTR p1) {
        if (msg == MIM_LONGDATA) midiInAddBuffer(hi, reinterpret_cast<MIDIHDR*>(p1), sizeof(MIDIHDR));
    });
    std::vector<uint8_t> all;
    for (int i = 0; i < 200; ++i) {
        const auto m = sysex(3000 + i, uint8_t(i));
        all.insert(all.end(), m.begin(), m.end());
        vm.feed(dev, m);
    }
    vm.settle();
    EXPECT_EQ(joined(), all);
}

TEST_F(InputTest, CloseFromInsideTheNotification) {
    InBuffer& b = buffer();
    add(h, b);
    std::atomic<MMRESULT> closed{999};
    rec.setReact([&](HMIDIIN hi, UINT msg, DWORD_PTR) {
        if (msg == MIM_LONGDATA) closed = midiInClose(hi);
    });
    vm.feed(dev, sysex(20));
    vm.settle();
    EXPECT_EQ(closed.load(), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.notes.back().msg, MIM_CLOSE);
    EXPECT_EQ(midiInClose(h), MMSYSERR_INVALHANDLE);
    h = nullptr;
}

TEST_F(InputTest, CloseWaitsForANotificationInProgress) {
    InBuffer& b = buffer();
    add(h, b);
    std::mutex gate;
    std::condition_variable cv;
    bool inside = false, release = false, finished = false;
    rec.setReact([&](HMIDIIN, UINT msg, DWORD_PTR) {
        if (msg != MIM_LONGDATA) return;
        std::unique_lock l(gate);
        inside = true;
        cv.notify_all();
        EXPECT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return release; })) << "never released";
        finished = true;
    });
    vm.feed(dev, sysex(20));
    {
        std::unique_lock l(gate);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return inside; }));
    }
    std::thread closer([&] {
        midiInReset(h);
        EXPECT_EQ(midiInClose(h), MMSYSERR_NOERROR);
        std::lock_guard l(gate);
        EXPECT_TRUE(finished);  // not before the notification has returned
    });
    {
        std::lock_guard l(gate);
        release = true;
    }
    cv.notify_all();
    closer.join();
    h = nullptr;
}

TEST_F(InputTest, BufferRules) {
    InBuffer& b = buffer();
    EXPECT_EQ(midiInAddBuffer(h, &b.hdr, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
    add(h, b);
    EXPECT_EQ(midiInAddBuffer(h, &b.hdr, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiInUnprepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MIDIERR_STILLPLAYING);
    InBuffer& empty = buffer(1);
    empty.hdr.dwBufferLength = 0;
    EXPECT_EQ(midiInPrepareHeader(h, &empty.hdr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInPrepareHeader(h, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInAddBuffer(h, &b.hdr, 8), MMSYSERR_INVALPARAM);
    // Handles of the other kind and garbage.
    EXPECT_EQ(midiInStart(reinterpret_cast<HMIDIIN>(uintptr_t(0x101))), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiInClose(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutClose(reinterpret_cast<HMIDIOUT>(h)), MMSYSERR_INVALHANDLE);
}

TEST_F(InputTest, PeerAnswersThroughTheInput) {
    // The simulated amplifier's pattern: it hears on the output and replies
    // on the input, from the layer's thread.
    const auto out = addOut();
    vm.connect(out, [&](const uint8_t* d, size_t n) {
        if (n && d[n - 1] == 0xF7) vm.feed(dev, sysex(37, 1));
    });
    HMIDIOUT ho = openOut(out);
    InBuffer& b = buffer();
    add(h, b);
    Block q(sysex(12));
    ASSERT_EQ(send(ho, q), MMSYSERR_NOERROR);
    platform::Sleep(1);
    EXPECT_TRUE(q.done());
    auto longs = rec.of(MIM_LONGDATA);
    ASSERT_EQ(longs.size(), 1u);
    EXPECT_EQ(longs[0].bytes, sysex(37, 1));
    EXPECT_EQ(midiOutClose(ho), MMSYSERR_NOERROR);
}
