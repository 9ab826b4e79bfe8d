// The simulated amplifier through the MIDI layer, as the program meets it,
// under the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "firmware/syx_generator.h"
#include "platform/clock.h"
#include "platform/midi/midi_layer.h"
#include "platform/midi/mmsystem.h"
#include "platform/midi/virtual_midi.h"
#include "sim/simulated_amp.h"

using platform::midi::VirtualMidi;
using sim::AmpFaults;
using sim::AmpState;

namespace {

constexpr uint8_t kReady = 0x7B, kAck = 0x7C, kError = 0x74, kVerified = 0x7D, kStop = 0x7A, kDone = 0x71;
using Codes = std::vector<uint8_t>;
const std::vector<uint8_t> kIdentityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

class AmpTest : public ::testing::Test {
protected:
    AmpTest() : image(firmware::makePacketImage({.digits = {0, 2, 1, 0}, .packetCount = 4, .payloadSize = 64})) {}
    void TearDown() override { close(); }

    // The amplifier's ports are the only ones, so index 0 both ways, once
    // the lists are taken afresh.
    void openOut() {
        ASSERT_EQ(midiOutGetNumDevs(), 1u);
        ASSERT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    }
    void open() {
        openOut();
        ASSERT_EQ(midiInGetNumDevs(), 1u);
        ASSERT_EQ(midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(&proc), reinterpret_cast<DWORD_PTR>(this),
                             CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        for (auto& b : buffers) {
            b.hdr = {};
            b.hdr.lpData = reinterpret_cast<char*>(b.data);
            b.hdr.dwBufferLength = sizeof b.data;
            midiInPrepareHeader(in, &b.hdr, sizeof(MIDIHDR));
            midiInAddBuffer(in, &b.hdr, sizeof(MIDIHDR));
        }
        midiInStart(in);
    }
    void close() {
        if (in) {
            requeue = false;
            midiInReset(in);
            midiInClose(in);
            requeue = true;
        }
        if (out) midiOutClose(out);
        in = nullptr;
        out = nullptr;
    }
    static void CALLBACK proc(HMIDIIN h, UINT msg, DWORD_PTR inst, DWORD_PTR p1, DWORD_PTR) {
        auto* self = reinterpret_cast<AmpTest*>(inst);
        if (msg != MIM_LONGDATA) return;
        auto* hdr = reinterpret_cast<MIDIHDR*>(p1);
        const auto* d = reinterpret_cast<const uint8_t*>(hdr->lpData);
        {
            std::lock_guard l(self->mu);
            self->replies.emplace_back(d, d + hdr->dwBytesRecorded);
        }
        if (self->requeue) midiInAddBuffer(h, hdr, sizeof(MIDIHDR));
    }
    std::vector<uint8_t> lastReply() {
        std::lock_guard l(mu);
        return replies.empty() ? std::vector<uint8_t>{} : replies.back();
    }
    // The revision characters of an identity reply, bytes 12-15.
    std::string lastRevision() {
        const auto r = lastReply();
        return r.size() == 17 ? std::string(r.begin() + 12, r.begin() + 16) : "";
    }
    Codes codes() {
        std::lock_guard l(mu);
        Codes c;
        for (auto& r : replies)
            if (r.size() > 6) c.push_back(r[6]);
        return c;
    }

    void send(std::vector<uint8_t> bytes) {
        auto& b = blocks.emplace_back();
        b.bytes = std::move(bytes);
        b.hdr.lpData = reinterpret_cast<char*>(b.bytes.data());
        b.hdr.dwBufferLength = static_cast<DWORD>(b.bytes.size());
        midiOutPrepareHeader(out, &b.hdr, sizeof(MIDIHDR));
        midiOutLongMsg(out, &b.hdr, sizeof(MIDIHDR));
        vm.settle();
    }
    std::vector<uint8_t> header() const { return {image.begin(), image.begin() + 37}; }
    std::vector<uint8_t> packet(size_t k) const {
        const auto at = image.begin() + 37 + static_cast<long>(k * (64 + 37));
        return {at, at + 64 + 37};
    }
    // Virtual time in the steps a polling sender takes; ends on the hour.
    void pass(uint64_t ms) {
        for (uint64_t left = ms; left;) {
            const uint64_t step = std::min<uint64_t>(left, 100);
            clock.advance(step);
            left -= step;
            portsWentAway |= midiOutGetNumDevs() == 0;
        }
        clock.advance(0);
        vm.settle();
    }
    // The handshake as the program plays it: each message waits for its
    // answer (a second at most), and a packet answered 0x74 is not sent again.
    void upload() {
        sendAndAwait(header());
        for (size_t k = 0; k < 4; ++k) sendAndAwait(packet(k));
    }
    void sendAndAwait(std::vector<uint8_t> bytes) {
        const size_t before = codes().size();
        send(std::move(bytes));
        for (int i = 0; i < 100 && codes().size() == before; ++i) pass(10);
    }

    struct InstalledClock {
        explicit InstalledClock(platform::Clock* c) { platform::setClock(c); }
        ~InstalledClock() { platform::setClock(nullptr); }
    };
    struct InBuffer {
        uint8_t data[256];
        MIDIHDR hdr;
    };
    struct OutBlock {
        std::vector<uint8_t> bytes;
        MIDIHDR hdr{};
    };

    std::vector<uint8_t> image;
    std::mutex mu;
    std::vector<std::vector<uint8_t>> replies;
    std::atomic<bool> requeue{true};
    bool portsWentAway = false;
    InBuffer buffers[8];
    std::deque<OutBlock> blocks;
    platform::VirtualClock clock;
    InstalledClock installed{&clock};
    VirtualMidi vm;
    VirtualMidi::DeviceId listen = vm.addOutput("Amp"), answer = vm.addInput("Amp");
    sim::SimulatedAmp amp{vm, listen, answer, "02.06"};
    HMIDIOUT out = nullptr;
    HMIDIIN in = nullptr;
};

TEST_F(AmpTest, HandshakeUpdateKeepsItsPaceAndComesBackWithTheNewVersion) {
    open();
    upload();
    EXPECT_EQ(codes(), (Codes{kReady, kAck, kAck, kAck, kAck}));
    EXPECT_EQ(amp.state(), AmpState::Verifying);
    // Each step on its own, so one reply never hides the one before it.
    const std::pair<uint64_t, AmpState> steps[] = {{3000, AmpState::Programming}, {4000, AmpState::Rebooting}};
    for (auto [ms, next] : steps) {
        const size_t before = codes().size();
        pass(ms - 1);
        EXPECT_EQ(codes().size(), before);
        pass(1);
        EXPECT_EQ(codes().size(), before + 1);
        EXPECT_EQ(amp.state(), next);
    }
    EXPECT_EQ(codes(), (Codes{kReady, kAck, kAck, kAck, kAck, kVerified, kDone}));
    pass(999);
    EXPECT_EQ(midiOutGetNumDevs(), 1u);
    pass(1);
    EXPECT_EQ(midiOutGetNumDevs(), 0u);
    EXPECT_EQ(midiInGetNumDevs(), 0u);
    pass(2999);
    EXPECT_EQ(midiInGetNumDevs(), 0u);
    pass(1);
    EXPECT_EQ(midiOutGetNumDevs(), 1u);
    EXPECT_EQ(amp.state(), AmpState::Idle);
    EXPECT_EQ(amp.rebootCount(), 1);

    // The old handles died with the ports; fresh ones hear the new version,
    // in an identity reply to the identity request and to nothing else.
    close();
    open();
    send({0xF0, 0x7E, 0x7F, 0x06, 0x02, 0xF7});
    send({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0x00, 0xF7});
    EXPECT_EQ(codes().size(), 7u);
    send(kIdentityRequest);
    EXPECT_EQ(codes().size(), 8u);
    EXPECT_EQ(lastRevision(), "0210");
    const auto r = lastReply();
    EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 5), (std::vector<uint8_t>{0xF0, 0x7E, 0x00, 0x06, 0x02}));
    EXPECT_EQ(r.back(), 0xF7);
}

TEST_F(AmpTest, PacketsMayComeInPiecesAndWhatDoesNotFitTheHeaderIsRefused) {
    open();
    auto badVersion = header();
    badVersion[34] = 0x0A;
    send(badVersion);
    EXPECT_TRUE(codes().empty()) << "a header whose version is no version";
    send(header());
    auto first = packet(0);
    send({first.begin(), first.begin() + 20});
    EXPECT_EQ(codes(), Codes{kReady});
    send({first.begin() + 20, first.end()});
    auto damaged = packet(1);
    damaged[40] ^= 1;
    send(damaged);
    send(packet(1));
    auto shortOne = packet(2);
    shortOne.erase(shortOne.begin() + 40);
    send(shortOne);
    auto beyond = packet(3);
    beyond[7] = 4;  // index 4 of 4 packets
    send(beyond);
    const auto other = firmware::makePacketImage({.packetCount = 4, .payloadSize = 65});
    send({other.begin() + 37 + 2 * (65 + 37), other.begin() + 37 + 3 * (65 + 37)});
    EXPECT_EQ(codes(), (Codes{kReady, kAck, kError, kAck, kError, kError, kError}));
    EXPECT_EQ(amp.packetErrorsSent(), 4);
    EXPECT_EQ(amp.packetsReceived(), 6);
    EXPECT_EQ(amp.state(), AmpState::Receiving);
    // Another program's message in the middle of a packet: the log says so.
    send({first.begin(), first.begin() + 20});
    send({0xB0, 0x07, 0x64});
    const auto log = amp.events();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].line, "recv sysex cut short after 20 bytes");
}

TEST_F(AmpTest, OpenLoopAndSingleMessageImagesAreTakenWithNobodyListening) {
    openOut();
    send(image);
    pass(11000);
    EXPECT_EQ(amp.version(), "02.10");
    close();
    openOut();
    send(firmware::makeSingleImage({.digits = {0, 1, 3, 9}, .totalSize = 500}));
    EXPECT_EQ(amp.state(), AmpState::Programming);
    pass(3999);
    EXPECT_EQ(amp.state(), AmpState::Programming);
    pass(1);
    EXPECT_EQ(amp.state(), AmpState::Rebooting);
    pass(4000);
    EXPECT_EQ(amp.version(), "01.39");
    EXPECT_EQ(amp.rebootCount(), 2);
}

TEST_F(AmpTest, APacketIsTakenOnlyAfterTheReadyReplyAndOnceThePacketBeforeIsAnswered) {
    open();
    amp.setFaults({.replyDelayMs = 50});
    send(header());
    send(packet(0));
    pass(49);
    EXPECT_TRUE(codes().empty());
    pass(1);
    EXPECT_EQ(codes(), Codes{kReady}) << "packet 0 came before the ready reply";
    send(packet(0));
    send(packet(1));
    pass(50);
    send(packet(2));
    pass(50);
    send(packet(3));
    pass(50);
    EXPECT_EQ(codes(), (Codes{kReady, kAck, kAck, kAck})) << "packet 1 came before packet 0 was answered";
    pass(3100);
    EXPECT_EQ(codes().back(), kStop) << "the image lacks packet 1";
    EXPECT_EQ(amp.state(), AmpState::Idle);
}

struct FaultCase {
    const char* name;
    AmpFaults faults;
    Codes codes;
    AmpState state;
    const char* version;
    int reboots;
    bool portsWentAway;
};

const Codes kAcked{kReady, kAck, kAck, kAck, kAck};
Codes plus(Codes c, std::initializer_list<uint8_t> more) {
    c.insert(c.end(), more);
    return c;
}

class AmpFaultTest : public AmpTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AmpFaultTest, UpdateEndsAsTheFaultSays) {
    const FaultCase& c = GetParam();
    amp.setFaults(c.faults);
    open();
    upload();
    pass(20000);
    EXPECT_EQ(codes(), c.codes);
    EXPECT_EQ(amp.state(), c.state);
    EXPECT_EQ(amp.version(), c.version);
    EXPECT_EQ(amp.rebootCount(), c.reboots);
    EXPECT_EQ(portsWentAway, c.portsWentAway);
    EXPECT_TRUE(amp.headerReceived());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AmpFaultTest,
    ::testing::Values(
        FaultCase{"none", {}, plus(kAcked, {kVerified, kDone}), AmpState::Idle, "02.10", 1, true},
        FaultCase{"silent", {.silent = true}, {}, AmpState::Idle, "02.06", 0, false},
        FaultCase{"noReadyReply", {.noReadyReply = true}, {}, AmpState::Receiving, "02.06", 0, false},
        FaultCase{"replyDelay", {.replyDelayMs = 500}, plus(kAcked, {kVerified, kDone}), AmpState::Idle, "02.10", 1,
                  true},
        FaultCase{"packetError", {.packetErrorAt = 1}, {kReady, kAck, kError, kAck, kAck, kStop}, AmpState::Idle,
                  "02.06", 0, false},
        FaultCase{"packetErrorRecovered", {.packetErrorAt = 1, .recoversLostPacket = true},
                  {kReady, kAck, kError, kAck, kAck, kVerified, kDone}, AmpState::Idle, "02.10", 1, true},
        FaultCase{"silentAtPacket", {.silentAtPacket = 2}, {kReady, kAck, kAck}, AmpState::Receiving, "02.06", 0,
                  false},
        FaultCase{"verifyStop", {.verifyStop = true}, plus(kAcked, {kStop}), AmpState::Idle, "02.06", 0, false},
        FaultCase{"silentAtVerify", {.silentAtVerify = true}, kAcked, AmpState::Verifying, "02.06", 0, false},
        FaultCase{"silentAtProgram", {.silentAtProgram = true}, plus(kAcked, {kVerified}), AmpState::Programming,
                  "02.06", 0, false},
        FaultCase{"wrongVersion", {.versionAfterReboot = "02.05"}, plus(kAcked, {kVerified, kDone}),
                  AmpState::Idle, "02.05", 1, true},
        FaultCase{"noReboot", {.noReboot = true}, plus(kAcked, {kVerified, kDone}), AmpState::Idle, "02.10", 1,
                  false},
        FaultCase{"vanish", {.vanishAtPacket = 2}, {kReady, kAck, kAck}, AmpState::Gone, "02.06", 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AmpTest, AmplifierWithoutRebootIsDeafWhileItRestarts) {
    amp.setFaults({.noReboot = true});
    open();
    upload();
    pass(3000 + 4000 + 1000);
    send(kIdentityRequest);
    EXPECT_EQ(codes().size(), 7u);
    pass(3000);
    send(kIdentityRequest);
    EXPECT_EQ(codes().size(), 8u);
    EXPECT_EQ(lastRevision(), "0210");
}

}  // namespace
