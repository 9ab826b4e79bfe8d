// The alsa driver against real sequencer ports: these tests play the device
// with a sequencer client of their own, or use the kernel's virtual raw MIDI
// ports as a USB MIDI device would look. They run in the kernel MIDI VM
// (scripts/kernel-midi-vm.sh), where none may skip; elsewhere, without a
// sequencer, they skip.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <mutex>

#include "platform/midi/device_events.h"
#include "platform/midi/driver.h"
#include "tests/midi_layer/layer_support.h"

using namespace midi_test;

namespace {

bool inVm() { return std::getenv("KOLVA_VM") != nullptr; }

std::string readFile(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

bool waitUntil(const std::function<bool()>& ready, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class AlsaTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
            if (inVm()) FAIL() << "the kernel MIDI VM has no sequencer";
            GTEST_SKIP() << "no ALSA sequencer on this machine";
        }
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
    // Opens output port i and hands it b; sentAt, when given, is the moment
    // just before the block was handed over. The caller closes h.
    static void startBlock(int i, Block& b, HMIDIOUT& h,
                           std::chrono::steady_clock::time_point* sentAt = nullptr) {
        ASSERT_EQ(midiOutOpen(&h, UINT(i), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        ASSERT_EQ(midiOutPrepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        if (sentAt) *sentAt = std::chrono::steady_clock::now();
        ASSERT_EQ(midiOutLongMsg(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    }
    // Index of the port whose listed name contains what, in a fresh list, or -1.
    int find(bool out, const char* what = "Layer Test Port") {
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
            if (std::strstr(name, what)) return int(i);
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
    Block b(sysex(1500));
    ASSERT_NO_FATAL_FAILURE(startBlock(i, b, h));
    EXPECT_EQ(receive(b.bytes.size()), b.bytes);
    EXPECT_TRUE(waitFor("the output to close", [&] { return midiOutClose(h) != MIDIERR_STILLPLAYING; }));
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
    Block b(sysex(20000));  // several seconds at the DIN pace
    ASSERT_NO_FATAL_FAILURE(startBlock(i, b, h));
    receive(256);
    snd_seq_delete_simple_port(seq, port);
    port = -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!b.done() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_TRUE(b.done());
    EXPECT_TRUE(platform::midi::headerCut(b.hdr)) << "a block cut short says so";
    EXPECT_TRUE(waitFor("the output to close", [&] { return midiOutClose(h) != MIDIERR_STILLPLAYING; }));
}

// A kernel port takes nothing from a sender that has not subscribed, and a
// USB MIDI device's port is its raw device's: a block must come out at the
// far end whole, and be done no sooner than the 31,250-baud wire could have
// carried it. Over virtual raw MIDI and, where the kernel MIDI VM has plugged
// one in (KOLVA_USB_PORT, KOLVA_USB_RAW), a USB MIDI gadget.
TEST_F(AlsaTest, KernelPortsGetTheWholeBlockAtTheWirePace) {
    struct Device {
        std::string port, raw, client;
    };
    std::vector<Device> devices = {{"VirMIDI 0-0", "/dev/snd/midiC0D0", "Virtual Raw MIDI 0-0"}};
    if (const char* usb = std::getenv("KOLVA_USB_PORT")) devices.push_back({usb, std::getenv("KOLVA_USB_RAW"), "Kolva Amp"});
    for (const Device& d : devices) {
        SCOPED_TRACE(d.port);
        const int i = find(true, d.port.c_str());
        ASSERT_GE(i, 0) << "no port " << d.port;
        const int raw = open(d.raw.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(raw, 0) << d.raw;
        // The raw device drops what comes before its reader first polls or reads.
        pollfd armed{raw, POLLIN, 0};
        poll(&armed, 1, 0);
        HMIDIOUT h = nullptr;
        Block b(sysex(16384));
        std::chrono::steady_clock::time_point start;
        ASSERT_NO_FATAL_FAILURE(startBlock(i, b, h, &start));
        std::vector<uint8_t> got;
        const auto until = start + std::chrono::seconds(20);
        auto doneAt = until;
        while ((got.size() < b.bytes.size() || !b.done()) && std::chrono::steady_clock::now() < until) {
            uint8_t buf[4096];
            pollfd fd{raw, POLLIN, 0};
            if (poll(&fd, 1, 5) > 0)
                if (const ssize_t n = read(raw, buf, sizeof buf); n > 0) got.insert(got.end(), buf, buf + n);
            if (b.done() && doneAt == until) doneAt = std::chrono::steady_clock::now();
        }
        EXPECT_EQ(got, b.bytes);
        ASSERT_TRUE(b.done());
        EXPECT_FALSE(platform::midi::headerCut(b.hdr));
        const auto wire = std::chrono::nanoseconds(b.bytes.size() * platform::midi::kDinNsPerByte);
        EXPECT_GE(doneAt - start, wire);
        EXPECT_LE(doneAt - start, wire * 11 / 10);
        // The raw device is ours only for the block: a sound server that
        // subscribes while the port is open (a2jmidid, as the amp's port
        // appears) still gets the port.
        snd_seq_addr_t dest{};
        ASSERT_GE(snd_seq_parse_address(seq, &dest, d.client.c_str()), 0);
        EXPECT_GE(snd_seq_connect_to(seq, port, dest.client, dest.port), 0) << "the open port keeps others off";
        snd_seq_disconnect_to(seq, port, dest.client, dest.port);
        EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
        close(raw);
        // Closing let go of the port: nothing of ours is left subscribed to it.
        const std::string clients = readFile("/proc/asound/seq/clients");
        const size_t at = clients.find("\"" + d.client + "\"");
        ASSERT_NE(at, std::string::npos);
        const std::string ours = clients.substr(at, clients.find("Client ", at) - at);
        EXPECT_EQ(ours.find("Connected From"), std::string::npos) << ours;
    }
}

// A USB MIDI device that takes bytes slower than the wire, or none at all
// (a boot loader busy with its flash), pushes back through its raw device:
// every byte arrives in order at the device's pace, or the block comes back
// cut within a few seconds, and closing does not wait for the device.
//
// Under a desktop's MIDI stack (KOLVA_SOUND_STACK, started by
// scripts/sound-servers.sh, which is KOLVA_SOUND_SERVERS), 64 KiB at
// 3,000 bytes a second: a bridge subscribed to the port, or woken in the
// middle of the block, changes nothing; a raw device held by jackd gets
// nothing and the block is not reported sent.
TEST_F(AlsaTest, ASlowUsbDeviceGetsEveryByteOrTheBlockIsCut) {
    if (!inVm()) GTEST_SKIP() << "plugs a USB device into the kernel MIDI VM";
    const std::string stack = std::getenv("KOLVA_SOUND_STACK") ? std::getenv("KOLVA_SOUND_STACK") : "";
    const std::string servers = std::getenv("KOLVA_SOUND_SERVERS") ? std::getenv("KOLVA_SOUND_SERVERS") : "";
    const bool held = stack == "jackd-raw";
    for (const int rate : stack.empty() ? std::vector<int>{3125, 3000, 0} : std::vector<int>{3000}) {
        SCOPED_TRACE(rate);
        SCOPED_TRACE(stack);
        const std::string capture = "/tmp/kolva-slow-" + std::to_string(rate) + ".syx";
        unlink(capture.c_str());
        const std::string cmd = std::string("KOLVA_SLOW_GADGET=") + KOLVA_SLOW_GADGET + " " +
                                KOLVA_USB_GADGET_SCRIPT + " slow " + std::to_string(rate) + " " + capture;
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        int gadget = 0;
        const bool started = fscanf(p, "%d", &gadget) == 1;
        pclose(p);
        ASSERT_TRUE(started) << readFile(capture + ".log");
        // jackd takes the raw devices there are when it starts.
        if (held) {
            ASSERT_EQ(std::system((servers + " restart").c_str()), 0);
        }
        const int i = find(true, "Slow MIDI MIDI 1");
        ASSERT_GE(i, 0);
        HMIDIOUT h = nullptr;
        Block b(sysex(stack.empty() ? 8192 : 65536));
        std::chrono::steady_clock::time_point start;
        if (held) {
            // Refused at the open or at the block, or cut; never sent.
            if (midiOutOpen(&h, UINT(i), 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR) {
                ASSERT_EQ(midiOutPrepareHeader(h, &b.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
                if (midiOutLongMsg(h, &b.hdr, sizeof(MIDIHDR)) == MMSYSERR_NOERROR) {
                    EXPECT_TRUE(waitUntil([&] { return b.done(); }, 20000)) << "the block never ended";
                    EXPECT_TRUE(platform::midi::headerCut(b.hdr)) << "a block the device did not get is not sent";
                }
                midiOutReset(h);
                EXPECT_TRUE(waitFor("the output to close", [&] { return midiOutClose(h) != MIDIERR_STILLPLAYING; }));
            }
            EXPECT_EQ(readFile(capture).size(), 0u) << "bytes reached a device jackd holds";
            kill(gadget, SIGTERM);
            waitUntil([] { return readFile("/proc/asound/seq/clients").find("Slow MIDI") == std::string::npos; }, 5000);
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(startBlock(i, b, h, &start));
        // PipeWire's bridge woken once the block is on its way (a pw-link
        // takes seconds here, and lands in the middle of it).
        std::thread waker;
        if (stack == "pipewire-woken-later")
            waker = std::thread([&] {
                EXPECT_TRUE(waitUntil([&] { return readFile(capture).size() >= 1024; }, 10000))
                    << "the device took no first kilobyte";
                EXPECT_EQ(std::system((servers + " wake").c_str()), 0) << "the bridge did not wake";
            });
        const auto until = start + std::chrono::seconds(stack.empty() ? 20 : 60);
        while (!b.done() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto took = std::chrono::steady_clock::now() - start;
        if (waker.joinable()) waker.join();
        ASSERT_TRUE(b.done());
        if (rate > 0) {
            EXPECT_FALSE(platform::midi::headerCut(b.hdr));
            // The device set the pace, not the wire (nor a buffer in between).
            EXPECT_GE(took, std::chrono::milliseconds(b.bytes.size() * 1000 / size_t(rate)) * 95 / 100);
            EXPECT_TRUE(waitUntil([&] { return readFile(capture).size() >= b.bytes.size(); }, 2000));
            const std::string got = readFile(capture);
            EXPECT_TRUE(got == std::string(b.bytes.begin(), b.bytes.end()))
                << got.size() << " of " << b.bytes.size() << " bytes arrived";
        } else {
            EXPECT_TRUE(platform::midi::headerCut(b.hdr)) << "a device that takes nothing cuts the block";
            EXPECT_LE(took, std::chrono::seconds(5));
        }
        const auto closing = std::chrono::steady_clock::now();
        EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
        EXPECT_LE(std::chrono::steady_clock::now() - closing, std::chrono::seconds(1));
        kill(gadget, SIGTERM);
        waitUntil([] { return readFile("/proc/asound/seq/clients").find("Slow MIDI") == std::string::npos; }, 5000);
    }
}

// A port held exclusively by another program cannot be ours: the user is
// told it is not ready, and it opens once it is let go.
TEST_F(AlsaTest, AnExclusivelyHeldPortIsBusy) {
    const int i = find(true, "VirMIDI 0-1");
    ASSERT_GE(i, 0);
    snd_seq_addr_t sender{static_cast<unsigned char>(snd_seq_client_id(seq)), static_cast<unsigned char>(port)};
    snd_seq_addr_t dest{};
    ASSERT_GE(snd_seq_parse_address(seq, &dest, "Virtual Raw MIDI 0-1"), 0);
    snd_seq_port_subscribe_t* sub;
    snd_seq_port_subscribe_alloca(&sub);
    snd_seq_port_subscribe_set_sender(sub, &sender);
    snd_seq_port_subscribe_set_dest(sub, &dest);
    snd_seq_port_subscribe_set_exclusive(sub, 1);
    ASSERT_GE(snd_seq_subscribe_port(seq, sub), 0);
    HMIDIOUT h = nullptr;
    EXPECT_EQ(midiOutOpen(&h, UINT(i), 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    ASSERT_GE(snd_seq_unsubscribe_port(seq, sub), 0);
    ASSERT_EQ(midiOutOpen(&h, UINT(i), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
}

// A user who may not open the sequencer (not in the audio group) gets a
// reason instead of an empty list.
TEST_F(AlsaTest, ASequencerThatCannotBeOpenedIsExplained) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        auto d = platform::midi::makeAlsaDriver();
        const std::string why = d->problem();
        _exit(d->outputs().empty() && why.find("audio") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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
