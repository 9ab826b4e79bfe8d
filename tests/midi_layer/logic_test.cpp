// The MIDI layer's plain logic: name fields, short messages, chunking and
// pacing, input assembly, announce events.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/midi/midi_logic.h"

using namespace platform::midi;

namespace {

std::vector<uint8_t> sysex(size_t length, uint8_t seed = 0) {
    std::vector<uint8_t> m(length);
    for (size_t i = 0; i < length; ++i) m[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

}  // namespace

// ---- device names ---------------------------------------------------------------

TEST(DeviceName, ShortNameIsCopiedAndTheRestZeroed) {
    char field[MAXPNAMELEN];
    std::memset(field, 'x', sizeof field);
    copyDeviceName(field, sizeof field, "Kolva Amp");
    EXPECT_STREQ(field, "Kolva Amp");
    for (size_t i = 9; i < sizeof field; ++i) EXPECT_EQ(field[i], 0) << i;
}

TEST(DeviceName, LongNameIsCutTo31Bytes) {
    char field[MAXPNAMELEN];
    copyDeviceName(field, sizeof field, std::string(40, 'a'));
    EXPECT_EQ(std::strlen(field), 31u);
}

TEST(DeviceName, CutNeverSplitsAUtf8Character) {
    char field[MAXPNAMELEN];
    // 30 ASCII bytes and a two-byte character: the character would end at byte 32.
    copyDeviceName(field, sizeof field, std::string(30, 'a') + "\xC3\xA9" + "b");
    EXPECT_EQ(std::string(field), std::string(30, 'a'));
    // 29 bytes and a four-byte character, which does not fit whole either.
    copyDeviceName(field, sizeof field, std::string(29, 'a') + "\xF0\x9F\x8E\xB8");
    EXPECT_EQ(std::string(field), std::string(29, 'a'));
    // 27 bytes and the same character: exactly 31, kept.
    copyDeviceName(field, sizeof field, std::string(27, 'a') + "\xF0\x9F\x8E\xB8" + "zz");
    EXPECT_EQ(std::string(field), std::string(27, 'a') + "\xF0\x9F\x8E\xB8");
}

TEST(DeviceName, StopsAtAnEmbeddedZero) {
    char field[MAXPNAMELEN];
    copyDeviceName(field, sizeof field, std::string("Amp\0Hidden", 10));
    EXPECT_STREQ(field, "Amp");
}

// System ports as listed: every name fits the field and no two read alike.
TEST(DeviceName, SystemPortNamesStayReadableAndDistinct) {
    const auto names = portNames({{"Virtual Raw MIDI 0-0", "VirMIDI 0-0"},
                                  {"Virtual Raw MIDI 0-1", "VirMIDI 0-1"},
                                  {"USB Amp", "USB Amp MIDI 1"},
                                  {"Synth", "Port 1"},
                                  {"Long Interface Name Number One", "MIDI Out 1"},
                                  {"Long Interface Name Number Two", "MIDI Out 1"}},
                                 31);
    EXPECT_EQ(names, (std::vector<std::string>{"VirMIDI 0-0", "VirMIDI 0-1", "USB Amp MIDI 1", "Synth:Port 1",
                                               "Long Interfa..er One:MIDI Out 1",
                                               "Long Interfa..er Two:MIDI Out 1"}));
}

// ---- short messages ---------------------------------------------------------------

TEST(ShortMessage, RunningStatusComesOutWhole) {
    uint8_t running = 0;
    uint8_t b[3];
    ASSERT_EQ(unpackShortMessage(0x00403C90, running, b), 3u);
    EXPECT_EQ(b[0], 0x90);
    EXPECT_EQ(b[1], 0x3C);
    EXPECT_EQ(b[2], 0x40);
    // Data bytes only: the last status is reused.
    ASSERT_EQ(unpackShortMessage(0x00004540, running, b), 3u);
    EXPECT_EQ(b[0], 0x90);
    EXPECT_EQ(b[1], 0x40);
    EXPECT_EQ(b[2], 0x45);
    // A real-time byte between keeps it.
    ASSERT_EQ(unpackShortMessage(0xF8, running, b), 1u);
    ASSERT_EQ(unpackShortMessage(0x00000041, running, b), 3u);
    EXPECT_EQ(b[0], 0x90);
    // A program change runs with one data byte.
    ASSERT_EQ(unpackShortMessage(0x05C2, running, b), 2u);
    ASSERT_EQ(unpackShortMessage(0x07, running, b), 2u);
    EXPECT_EQ(b[0], 0xC2);
    EXPECT_EQ(b[1], 0x07);
    // System common cancels it.
    ASSERT_EQ(unpackShortMessage(0xF6, running, b), 1u);
    EXPECT_EQ(unpackShortMessage(0x07, running, b), 0u);
}

TEST(ShortMessage, WordsThatCannotBeSentGiveNothing) {
    uint8_t running = 0;
    uint8_t b[3];
    EXPECT_EQ(unpackShortMessage(0x40, running, b), 0u);  // no status yet
    EXPECT_EQ(unpackShortMessage(0xF0, running, b), 0u);
    EXPECT_EQ(unpackShortMessage(0xF7, running, b), 0u);
    // Data bytes keep seven bits.
    ASSERT_EQ(unpackShortMessage(0x00FFFF90, running, b), 3u);
    EXPECT_EQ(b[1], 0x7F);
    EXPECT_EQ(b[2], 0x7F);
}

// ---- chunks and pacing -------------------------------------------------------------

TEST(Chunking, ChunksCoverTheBlockInPiecesOfAtMost256) {
    Pacing p;
    p.maxChunk = 256;
    for (size_t total : {1u, 2u, 255u, 256u, 257u, 1000u, 1048576u + 3u}) {
        size_t off = 0, pieces = 0;
        while (size_t n = chunkLength(p, total, off)) {
            EXPECT_LE(n, 256u);
            off += n;
            ++pieces;
        }
        EXPECT_EQ(off, total);
        EXPECT_EQ(pieces, (total + 255) / 256);
    }
    p.maxChunk = 0;
    EXPECT_EQ(chunkLength(p, 5000, 0), 5000u);
    EXPECT_EQ(chunkLength(p, 5000, 5000), 0u);
}

namespace {

Pacing alsaLike() {
    Pacing p;
    p.maxChunk = 256;
    p.nsPerByte = kDinNsPerByte;
    p.leadBytes = 2048;
    return p;
}

// Hands a block over as fast as the pacer allows, starting at start, with an
// optional stall of the sender after one chunk; returns the handover times and
// checks the backlog at each.
std::vector<uint64_t> runSender(WirePacer& w, size_t total, uint64_t start, size_t stallAfter = 0,
                                uint64_t stallNs = 0) {
    std::vector<uint64_t> times;
    uint64_t now = start;
    uint64_t ready = start;
    for (size_t off = 0, k = 0; off < total; ++k) {
        const size_t n = chunkLength(w.pacing(), total, off);
        now = std::max(now, w.releaseAt(n, ready));
        w.handedOver(n, now);
        EXPECT_LE(w.backlog(now), w.pacing().leadBytes) << "chunk " << k;
        times.push_back(now);
        off += n;
        ready = now;
        if (stallNs && k + 1 == stallAfter) now += stallNs;
    }
    return times;
}

}  // namespace

TEST(Pacing, LeadKeepsTheBufferBelowItsSize) {
    WirePacer w;
    w.setPacing(alsaLike());
    const size_t total = 64 * 1024;
    const auto times = runSender(w, total, 1'000'000'000);
    // The first chunks go at once, up to the lead.
    EXPECT_EQ(times[7], times[0]);
    EXPECT_GT(times[8], times[0]);
    // The last byte is handed over when the wire has the lead still to carry.
    const uint64_t wire = kDinNsPerByte * total;
    EXPECT_EQ(w.wireEnd() - times[0], wire);
    EXPECT_EQ(w.wireEnd() - times.back(), kDinNsPerByte * 2048);
}

TEST(Pacing, ALateSenderDoesNotBurstAfterwards) {
    WirePacer w;
    w.setPacing(alsaLike());
    // The sender stops for two seconds after 32 chunks: the wire runs dry;
    // after it the buffer must still never hold more than the lead.
    runSender(w, 32 * 1024, 0, 32, 2'000'000'000);
}

TEST(Pacing, LaterBlocksQueueBehindTheWire) {
    WirePacer w;
    w.setPacing(alsaLike());
    runSender(w, 4096, 0);
    const uint64_t end = w.wireEnd();
    // A second block handed at once after the first may only top the lead up.
    const auto times = runSender(w, 4096, 0);
    EXPECT_GE(times.front(), end - kDinNsPerByte * 2048);
}

TEST(Pacing, ChunkEndReleaseFollowsTheWire) {
    Pacing p;
    p.maxChunk = 128;
    p.nsPerByte = kDinNsPerByte;
    p.releaseAtChunkEnd = true;
    WirePacer w;
    w.setPacing(p);
    const auto times = runSender(w, 1000, 5000);
    ASSERT_EQ(times.size(), 8u);
    EXPECT_EQ(times[0], 5000 + 128 * kDinNsPerByte);
    EXPECT_EQ(times.back(), 5000 + 1000 * kDinNsPerByte);
}

// ---- input assembly --------------------------------------------------------------

namespace {

struct Buffer {
    explicit Buffer(size_t n) : data(n) {
        hdr = {};
        hdr.lpData = reinterpret_cast<char*>(data.data());
        hdr.dwBufferLength = static_cast<DWORD>(n);
    }
    std::vector<uint8_t> data;
    MIDIHDR hdr;
};

struct Collect final : InputAssembler::Sink {
    std::deque<MIDIHDR*> free;
    bool stallWhenEmpty = true;
    struct Back {
        std::vector<uint8_t> bytes;
        bool error;
    };
    std::vector<Back> back;
    std::vector<DWORD> shorts;

    MIDIHDR* nextBuffer(bool& stall) override {
        if (free.empty()) {
            stall = stallWhenEmpty;
            return nullptr;
        }
        MIDIHDR* h = free.front();
        free.pop_front();
        return h;
    }
    void shortMessage(DWORD msg) override { shorts.push_back(msg); }
    void bufferDone(MIDIHDR* h, bool error) override {
        const auto* p = reinterpret_cast<const uint8_t*>(h->lpData);
        back.push_back({std::vector<uint8_t>(p, p + h->dwBytesRecorded), error});
    }
    std::vector<uint8_t> joined() const {
        std::vector<uint8_t> all;
        for (auto& b : back) all.insert(all.end(), b.bytes.begin(), b.bytes.end());
        return all;
    }
};

// Feeds in 256-byte pieces, as system input arrives.
void feedInPieces(InputAssembler& a, const std::vector<uint8_t>& m, Collect& c, size_t piece = 256) {
    for (size_t off = 0; off < m.size(); off += piece) {
        const size_t n = std::min(piece, m.size() - off);
        ASSERT_EQ(a.feed(m.data() + off, n, c), n);
    }
}

}  // namespace

TEST(InputAssembler, LongMessageFillsBuffersThenEnds) {
    Buffer b1(16000), b2(16000);
    Collect c;
    c.free = {&b1.hdr, &b2.hdr};
    InputAssembler a;
    const auto m = sysex(20000);
    feedInPieces(a, m, c);
    ASSERT_EQ(c.back.size(), 2u);
    EXPECT_EQ(c.back[0].bytes.size(), 16000u);
    EXPECT_EQ(c.back[1].bytes.size(), 4000u);
    EXPECT_FALSE(c.back[1].error);
    EXPECT_EQ(c.joined(), m);
    EXPECT_FALSE(a.inSysEx());
}

TEST(InputAssembler, ShortReplyIsOneBuffer) {
    Buffer b(16000);
    Collect c;
    c.free = {&b.hdr};
    InputAssembler a;
    const auto m = sysex(37);
    feedInPieces(a, m, c, 5);  // arriving in small pieces changes nothing
    ASSERT_EQ(c.back.size(), 1u);
    EXPECT_EQ(c.back[0].bytes, m);
}

TEST(InputAssembler, EndByteFillingTheBufferEndsTheMessage) {
    Buffer b1(37), b2(37);
    Collect c;
    c.free = {&b1.hdr, &b2.hdr};
    InputAssembler a;
    feedInPieces(a, sysex(37), c);
    feedInPieces(a, sysex(10), c);
    ASSERT_EQ(c.back.size(), 2u);
    EXPECT_EQ(c.back[1].bytes, sysex(10));
}

TEST(InputAssembler, RealTimeBytesPassThroughAMessage) {
    Buffer b(100);
    Collect c;
    c.free = {&b.hdr};
    InputAssembler a;
    std::vector<uint8_t> m = {0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xF7};
    a.feed(m.data(), m.size(), c);
    EXPECT_EQ(c.shorts, (std::vector<DWORD>{0xF8, 0xFE}));
    ASSERT_EQ(c.back.size(), 1u);
    EXPECT_EQ(c.back[0].bytes, (std::vector<uint8_t>{0xF0, 0x01, 0x02, 0xF7}));
}

TEST(InputAssembler, ShortMessagesWithRunningStatus) {
    Collect c;
    InputAssembler a;
    std::vector<uint8_t> m = {0x90, 0x3C, 0x40, 0x3E, 0x41, 0xC1, 0x05, 0x06, 0xF6, 0x10};
    a.feed(m.data(), m.size(), c);
    EXPECT_EQ(c.shorts, (std::vector<DWORD>{0x403C90, 0x413E90, 0x05C1, 0x06C1, 0xF6}));
}

TEST(InputAssembler, MessageCutShortComesBackAsAnError) {
    Buffer b(100);
    Collect c;
    c.free = {&b.hdr};
    InputAssembler a;
    std::vector<uint8_t> m = {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x40};
    a.feed(m.data(), m.size(), c);
    ASSERT_EQ(c.back.size(), 1u);
    EXPECT_TRUE(c.back[0].error);
    EXPECT_EQ(c.back[0].bytes, (std::vector<uint8_t>{0xF0, 0x01, 0x02}));
    EXPECT_EQ(c.shorts, (std::vector<DWORD>{0x403C90}));
}

TEST(InputAssembler, StallsWithoutABufferAndLosesNothing) {
    Buffer b1(100), b2(100);
    Collect c;
    InputAssembler a;
    const auto m = sysex(150);
    // No buffer yet: nothing is taken.
    EXPECT_EQ(a.feed(m.data(), m.size(), c), 0u);
    c.free = {&b1.hdr};
    const size_t took = a.feed(m.data(), m.size(), c);
    EXPECT_EQ(took, 100u);  // the first buffer is full, the second not there yet
    c.free = {&b2.hdr};
    EXPECT_EQ(a.feed(m.data() + took, m.size() - took, c), m.size() - took);
    EXPECT_EQ(c.joined(), m);
}

TEST(InputAssembler, WithoutBuffersTheMessageIsDroppedAndTheNextArrives) {
    Buffer b(100);
    Collect c;
    c.stallWhenEmpty = false;
    InputAssembler a;
    const auto first = sysex(300), second = sysex(20, 3);
    feedInPieces(a, first, c);
    EXPECT_TRUE(c.back.empty());
    std::vector<uint8_t> note = {0x90, 0x3C, 0x40};
    a.feed(note.data(), note.size(), c);
    EXPECT_EQ(c.shorts, (std::vector<DWORD>{0x403C90}));
    c.free = {&b.hdr};
    feedInPieces(a, second, c);
    ASSERT_EQ(c.back.size(), 1u);
    EXPECT_EQ(c.back[0].bytes, second);
}

TEST(InputAssembler, BuffersRunningOutMidMessageDropTheRest) {
    Buffer b1(100), b2(100);
    Collect c;
    c.stallWhenEmpty = false;
    c.free = {&b1.hdr};
    InputAssembler a;
    feedInPieces(a, sysex(250), c);
    ASSERT_EQ(c.back.size(), 1u);  // the first 100 bytes
    c.free = {&b2.hdr};
    const auto next = sysex(30, 9);
    feedInPieces(a, next, c);
    ASSERT_EQ(c.back.size(), 2u);
    EXPECT_EQ(c.back[1].bytes, next);
}

TEST(InputAssembler, FlushHandsBackThePartBuffer) {
    Buffer b(100);
    Collect c;
    c.free = {&b.hdr};
    InputAssembler a;
    const auto m = sysex(50);
    a.feed(m.data(), 20, c);
    EXPECT_TRUE(a.holdsBuffer());
    a.flush(c, false);
    ASSERT_EQ(c.back.size(), 1u);
    EXPECT_EQ(c.back[0].bytes.size(), 20u);
    EXPECT_FALSE(a.holdsBuffer());
    EXPECT_FALSE(a.inSysEx());
}

TEST(InputAssembler, ZeroLengthBufferIsHandedBackNotWritten) {
    Buffer empty(0), b(10);
    Collect c;
    c.free = {&empty.hdr, &b.hdr};
    InputAssembler a;
    const auto m = sysex(5);
    a.feed(m.data(), m.size(), c);
    ASSERT_EQ(c.back.size(), 2u);
    EXPECT_TRUE(c.back[0].bytes.empty());
    EXPECT_EQ(c.back[1].bytes, m);
}

// ---- announce events -----------------------------------------------------------------

TEST(Announce, PortsComingAndGoingAreDeviceChanges) {
    auto start = translateAnnounce(kAnnouncePortStart, 24, 1, 130);
    ASSERT_TRUE(start);
    EXPECT_EQ(start->wParam, DBT_DEVICEARRIVAL);
    EXPECT_EQ(start->lParam, (24u << 8) | 1u);
    auto exit = translateAnnounce(kAnnouncePortExit, 24, 1, 130);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->wParam, DBT_DEVICEREMOVECOMPLETE);
}

TEST(Announce, SystemOwnAndOtherEventsAreNot) {
    EXPECT_FALSE(translateAnnounce(kAnnouncePortStart, 0, 1, 130));
    EXPECT_FALSE(translateAnnounce(kAnnouncePortExit, 130, 0, 130));
    EXPECT_FALSE(translateAnnounce(kAnnounceClientStart, 24, 0, 130));
    EXPECT_FALSE(translateAnnounce(kAnnouncePortChange, 24, 0, 130));
}
