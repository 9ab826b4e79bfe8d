#pragma once
// The parts of the MIDI layer that are plain logic: device-name fields,
// short-message packing, how a long System Exclusive block is cut and paced,
// how incoming bytes are joined into receive buffers, and what a sequencer
// announce event means. No threads, no driver, no clock.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/midi/mmsystem.h"

namespace platform::midi {

// Copies a device name into a fixed name field: at most size - 1 bytes, cut
// before a UTF-8 character that would not fit whole, always zero-terminated.
void copyDeviceName(char* field, size_t size, std::string_view name);

// Number of bytes of a message that starts with this status byte: 1 to 3 for
// channel, system common and real-time messages, 0 for F0/F7 and data bytes.
int shortMessageLength(uint8_t status);

// Unpacks a midiOutShortMsg word into its bytes; returns how many (0 when
// the low byte is not a status byte or starts a System Exclusive).
size_t unpackShortMessage(DWORD msg, uint8_t out[3]);

// The same with running status: a word whose low byte is a data byte reuses
// the last channel status sent on the handle (running). The bytes come out
// whole, status first, so a port never sees a message without its status.
// Returns 0 for a word that cannot be sent (no running status to reuse,
// F0/F7).
size_t unpackShortMessage(DWORD msg, uint8_t& running, uint8_t out[3]);

// How a port takes a long block: the most bytes one event may carry
// (0 = the whole block at once) and the wire's pace.
struct Pacing {
    size_t maxChunk = 0;
    uint64_t nsPerByte = 0;  // 0 = no pacing
    // Bytes the sender may run ahead of the wire (a buffer in between).
    size_t leadBytes = 0;
    // True: a chunk counts as handed over once the wire has carried it (a
    // port that blocks while it transmits). False: it may be handed over as
    // soon as the wire has drained down far enough for it to fit within
    // leadBytes.
    bool releaseAtChunkEnd = false;
};

inline constexpr uint64_t kDinNsPerByte = 320000;  // 31,250 baud, 10 bits a byte

inline uint64_t nsPerByteForBaud(uint32_t baud) { return baud ? 10'000'000'000ull / baud : 0; }

// Length of the chunk that starts at offset.
size_t chunkLength(const Pacing& p, size_t total, size_t offset);

// Time the wire needs for n bytes.
inline uint64_t wireNs(const Pacing& p, size_t n) { return p.nsPerByte * n; }

// Follows where the wire is, so chunks are handed over no faster than it
// carries them. It keeps the moment the wire will have carried everything
// handed over so far; a sender that falls behind lets the wire run idle, and
// that idle time is not counted as bytes carried (no burst afterwards).
// Times are ns on any monotonic scale.
class WirePacer {
public:
    void setPacing(const Pacing& p) { pacing_ = p; }
    const Pacing& pacing() const { return pacing_; }
    // When a chunk of n bytes, ready since readyNs, may be handed over.
    uint64_t releaseAt(size_t n, uint64_t readyNs) const;
    // n bytes were handed over at nowNs.
    void handedOver(size_t n, uint64_t nowNs);
    // When the wire will have carried everything handed over.
    uint64_t wireEnd() const { return wireEnd_; }
    // Bytes handed over and not yet carried at nowNs.
    size_t backlog(uint64_t nowNs) const;

private:
    Pacing pacing_;
    uint64_t wireEnd_ = 0;
};

// Joins a MIDI byte stream into what an input handle reports: short messages
// (running status understood, real-time bytes passed through anywhere) and
// System Exclusive data written into the queued receive buffers. A buffer
// comes back when its message ends (F7) or when it is full; a System
// Exclusive message cut short by another status byte comes back flagged as
// an error.
class InputAssembler {
public:
    class Sink {
    public:
        virtual ~Sink() = default;
        // The next buffer to fill. nullptr with stall = true: keep the bytes
        // until a buffer is queued; nullptr with stall = false: drop the rest
        // of this message.
        virtual MIDIHDR* nextBuffer(bool& stall) = 0;
        virtual void shortMessage(DWORD msg) = 0;
        virtual void bufferDone(MIDIHDR* hdr, bool error) = 0;
    };

    // Consumes bytes; fewer than n only when it stalls for want of a buffer.
    size_t feed(const uint8_t* data, size_t n, Sink& sink);
    // Hands back the buffer being filled with what it holds, and forgets the
    // message in progress (input stopped or reset).
    void flush(Sink& sink, bool error);
    bool inSysEx() const { return inSysEx_; }
    bool holdsBuffer() const { return cur_ != nullptr; }

private:
    bool putSysExByte(uint8_t b, Sink& sink, bool& stalled);
    void endSysEx(Sink& sink, bool error);
    void status(uint8_t b, Sink& sink);

    MIDIHDR* cur_ = nullptr;
    bool inSysEx_ = false;
    bool dropping_ = false;
    uint8_t running_ = 0;
    uint8_t msg_[3] = {};
    int have_ = 0;
    int need_ = 0;
};

// How system MIDI ports are named in the device lists: "Client:Port", or the
// port's own name when it already says whose it is. A name too long for the
// field (max bytes) becomes the port's own name, as long as that tells the
// port apart from the others listed; else the client's part is shortened so
// that the port's part, which tells ports of one device apart, stays whole.
struct PortName {
    std::string client;
    std::string port;
};
std::vector<std::string> portNames(const std::vector<PortName>& ports, size_t max);

// Device-change notification codes as the window receives them.
inline constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;

struct DeviceChange {
    uint32_t wParam;
    uint32_t lParam;
};

// Sequencer announce events (the values of the ALSA sequencer's event types).
enum AnnounceType : int {
    kAnnounceClientStart = 60,
    kAnnounceClientExit = 61,
    kAnnounceClientChange = 62,
    kAnnouncePortStart = 63,
    kAnnouncePortExit = 64,
    kAnnouncePortChange = 65,
};

// A port appearing or going away is a device arriving or being removed;
// the system client's and our own ports are not devices. lParam carries the
// port's address (client << 8 | port) for the diagnostic list.
std::optional<DeviceChange> translateAnnounce(int type, int client, int port, int ownClient);

}  // namespace platform::midi
