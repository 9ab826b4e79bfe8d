// The alsa driver against real sequencer ports: this test plays the device
// with a sequencer client of its own. Skipped where there is no sequencer.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/midi/device_events.h"
#include "platform/midi/driver.h"
#include "tests/midi_layer/layer_support.h"

using namespace midi_test;

namespace {

class AlsaTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "no ALSA sequencer on this machine";
        ASSERT_GE(snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
        snd_seq_set_client_name(seq, "Layer Test Device");
        port = snd_seq_create_simple_port(seq, "Layer Test Port",
                                          SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                              SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        ASSERT_GE(port, 0);
        driver = platform::midi::makeAlsaDriver();
        platform::midi::installDriver(driver);
    }
    void TearDown() override {
        if (driver) platform::midi::removeDriver(driver.get());
        if (seq) snd_seq_close(seq);
    }
    // Index of our port in a fresh list, or -1.
    int find(bool out) {
        const UINT n = out ? midiOutGetNumDevs() : midiInGetNumDevs();
        for (UINT i = 0; i < n; ++i) {
            char name[MAXPNAMELEN];
            if (out) {
                MIDIOUTCAPSA c;
                midiOutGetDevCapsA(i, &c, sizeof c);
                std::memcpy(name, c.szPname, sizeof name);
            } else {
                MIDIINCAPSA c;
                midiInGetDevCapsA(i, &c, sizeof c);
                std::memcpy(name, c.szPname, sizeof name);
            }
            if (std::strstr(name, "Layer Test Port")) return int(i);
        }
        return -1;
    }
    // System Exclusive bytes our port receives, joined, until count arrive.
    std::vector<uint8_t> receive(size_t count) {
        std::vector<uint8_t> got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::vector<pollfd> fds(snd_seq_poll_descriptors_count(seq, POLLIN));
        snd_seq_poll_descriptors(seq, fds.data(), fds.size(), POLLIN);
        while (got.size() < count && std::chrono::steady_clock::now() < until) {
            if (snd_seq_event_input_pending(seq, 1) == 0 && poll(fds.data(), fds.size(), 100) <= 0) continue;
            snd_seq_event_t* ev = nullptr;
            if (snd_seq_event_input(seq, &ev) < 0 || !ev) continue;
            if (ev->type == SND_SEQ_EVENT_SYSEX) {
                EXPECT_LE(ev->data.ext.len, 256u);
                auto* p = static_cast<const uint8_t*>(ev->data.ext.ptr);
                got.insert(got.end(), p, p + ev->data.ext.len);
            }
        }
        return got;
    }
    snd_seq_t* seq = nullptr;
    int port = -1;
    std::shared_ptr<platform::midi::Driver> driver;
};

}  // namespace

TEST_F(AlsaTest, BlockGoesOutInEventsOfAtMost256) {
    const int i = find(true);
    ASSERT_GE(i, 0);
    HMIDIOUT h = nullptr;
    ASSERT_EQ(midiOutOpen(&h, UINT(i), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Block b(sysex(1500));
    ASSERT_EQ(midiOutPrepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(receive(b.bytes.size()), b.bytes);
    while (midiOutClose(h) == MIDIERR_STILLPLAYING) std::this_thread::yield();
    EXPECT_TRUE(b.done());
}

TEST_F(AlsaTest, InputIsJoinedIntoBuffers) {
    const int i = find(false);
    ASSERT_GE(i, 0);
    Recorder rec;
    HMIDIIN h = nullptr;
    ASSERT_EQ(midiInOpen(&h, UINT(i), rec.callback(), rec.instance(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    InBuffer buf;
    ASSERT_EQ(midiInPrepareHeader(h, &buf.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(h, &buf.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInStart(h), MMSYSERR_NOERROR);
    const auto m = sysex(600);
    for (size_t off = 0; off < m.size(); off += 200) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_sysex(&ev, 200, const_cast<uint8_t*>(m.data() + off));
        ASSERT_GE(snd_seq_event_output_direct(seq, &ev), 0);
    }
    ASSERT_TRUE(rec.waitFor(MIM_LONGDATA, 1));
    EXPECT_EQ(rec.of(MIM_LONGDATA)[0].bytes, m);
    midiInReset(h);
    EXPECT_EQ(midiInClose(h), MMSYSERR_NOERROR);
}

TEST_F(AlsaTest, PortsComingAndGoingAreReported) {
    ASSERT_GE(find(true), 0);  // brings the driver up
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint32_t> seen;
    platform::midi::setDeviceChangeHandler([&](uint32_t w, uint32_t) {
        std::lock_guard l(m);
        seen.push_back(w);
        cv.notify_all();
    });
    const int extra = snd_seq_create_simple_port(seq, "Layer Test Extra",
                                                 SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    ASSERT_GE(extra, 0);
    snd_seq_delete_simple_port(seq, extra);
    {
        std::unique_lock l(m);
        EXPECT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return seen.size() >= 2; }));
    }
    platform::midi::setDeviceChangeHandler({});
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0], 0x8000u);
    EXPECT_EQ(seen[1], 0x8004u);
}

TEST_F(AlsaTest, PortVanishingWhileSendingEndsTheBlock) {
    const int i = find(true);
    ASSERT_GE(i, 0);
    HMIDIOUT h = nullptr;
    ASSERT_EQ(midiOutOpen(&h, UINT(i), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Block b(sysex(20000));  // several seconds at the DIN pace
    ASSERT_EQ(midiOutPrepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    receive(256);
    snd_seq_delete_simple_port(seq, port);
    port = -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!b.done() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_TRUE(b.done());
    while (midiOutClose(h) == MIDIERR_STILLPLAYING) std::this_thread::yield();
}

// Where there is no sequencer (build machines), the system driver lists
// nothing, opens nothing, and says nothing about it.
TEST(AlsaWithoutSequencer, NoDevicesAndNothingPrinted) {
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has a sequencer";
    auto driver = platform::midi::makeAlsaDriver();
    platform::midi::installDriver(driver);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(midiOutGetNumDevs(), 0u);
    EXPECT_EQ(midiInGetNumDevs(), 0u);
    HMIDIOUT h = nullptr;
    EXPECT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_STREQ(platform::midi::driverName(), "alsa");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    platform::midi::removeDriver(driver.get());
}
