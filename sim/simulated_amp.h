#pragma once
// A simulated amplifier on the virtual MIDI driver: it listens on the output
// device the program sends to and answers on the input device the program
// reads. It answers identity requests with its firmware version, follows
// program changes and plays a whole firmware update: header, packets,
// verify, programming, then a reboot in which its ports vanish and come back
// with the new version. Faults are switches in AmpFaults.
//
// Timed steps run on the process clock: under a VirtualClock from a settle
// hook (so only when some thread sleeps or a test advances time; a reply made
// there has reached the program by the next settle), under the real clock
// from a small thread of the amplifier's own. Replies to the header and the
// packets go out at once from the port's thread unless delayed by a fault.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/virtual_midi.h"

namespace platform {
class VirtualClock;
}

namespace sim {

// Packet numbers are the index the packet carries, counted from 0; -1 = off.
struct AmpFaults {
    bool silent = false;        // takes everything, answers and does nothing
    bool noReadyReply = false;  // the header goes unanswered
    int packetErrorAt = -1;     // packet k answered 0x74 the first time it comes
    int silentAtPacket = -1;    // packet k and the rest of that transfer go unanswered
    bool verifyStop = false;    // 0x7A instead of 0x7D; nothing is programmed
    bool silentAtVerify = false;   // no verify reply; nothing more happens
    bool silentAtProgram = false;  // 0x7D, then no 0x71 and no reboot
    std::string versionAfterReboot{};  // "" = the version the image carries
    bool noReboot = false;      // ports stay (as behind a DIN interface); still deaf while it restarts
    uint32_t replyDelayMs = 0;  // for the replies to the header and packets; 0 = at once
    int vanishAtPacket = -1;    // on packet k both ports vanish for good
};

// When each later step comes, from the step before it.
struct AmpTiming {
    uint32_t verifyMs = 3000;       // last packet -> 0x7D / 0x7A
    uint32_t programMs = 4000;      // 0x7D (or a single-message image) -> 0x71
    uint32_t rebootDelayMs = 1000;  // 0x71 -> ports vanish
    uint32_t rebootMs = 3000;       // ports vanish -> ports return with the new version
};

enum class AmpState {
    Idle,         // running; ready for an update
    Receiving,    // header taken, packets expected
    Verifying,    // every packet in
    Programming,  // verified (or a single-message image taken)
    Rebooting,    // from 0x71 until the ports are back
    Gone,         // ports vanished for good
};

class SimulatedAmp {
public:
    // listen is the output device the program opens, answer the input device it opens.
    SimulatedAmp(platform::midi::VirtualMidi& vm, platform::midi::VirtualMidi::DeviceId listen,
                 platform::midi::VirtualMidi::DeviceId answer, std::string version = "02.06");
    ~SimulatedAmp();
    SimulatedAmp(const SimulatedAmp&) = delete;
    SimulatedAmp& operator=(const SimulatedAmp&) = delete;

    void setVersion(const std::string& version);
    // Silent: takes everything, answers nothing (amplifier off, wrong cable).
    void setSilent(bool silent);
    void setFaults(const AmpFaults& faults);
    void setTiming(const AmpTiming& timing);

    int identityRequests() const;
    std::vector<uint8_t> programChanges() const;  // program numbers, in order
    int preset() const;                           // the last program chosen, -1 before any

    bool headerReceived() const;  // a packet image's header since construction
    int packetsReceived() const;  // packet messages, repeats included
    int packetErrorsSent() const;
    AmpState state() const;
    int rebootCount() const;
    std::string version() const;  // what identity replies report now

private:
    enum class Step { Reply, Verified, Programmed, Vanish, Return };
    struct Action {
        uint32_t due = 0;
        Step step = Step::Reply;
        uint8_t code = 0;  // Reply
    };
    // What to do on the driver once the lock is let go, in order.
    struct Op {
        enum Kind { Feed, Unplug, Replug } kind = Feed;
        std::vector<uint8_t> bytes;  // Feed
    };
    using Ops = std::vector<Op>;

    // What the port's thread works on. Shared with the peer function, which
    // may still be running on that thread for a moment after disconnecting,
    // and with the clock hook.
    struct Core {
        void received(const uint8_t* data, size_t n);
        void message(const std::vector<uint8_t>& m);
        void runDue();

        // Under mu; what they want done on the driver goes to ops.
        void firmwareMessage(const std::vector<uint8_t>& m, Ops& ops);
        void acceptPacket(const std::vector<uint8_t>& m, Ops& ops);
        void perform(const Action& a, Ops& ops);
        void reply(uint8_t code, Ops& ops);
        void schedule(uint32_t inMs, Step step, uint8_t code = 0);
        void scheduleAt(uint32_t due, Step step, uint8_t code = 0);
        void apply(const Ops& ops);  // not under mu

        platform::midi::VirtualMidi* vm = nullptr;
        platform::midi::VirtualMidi::DeviceId listen = 0;
        platform::midi::VirtualMidi::DeviceId answer = 0;
        std::mutex runMu;  // one thread runs due actions at a time, in order
        mutable std::mutex mu;
        bool closed = false;
        std::string version;
        AmpFaults faults;
        AmpTiming timing;
        std::vector<uint8_t> pending;  // bytes of the message being received
        uint8_t running = 0;
        int identityRequests = 0;
        std::vector<uint8_t> programs;

        AmpState state = AmpState::Idle;
        std::vector<Action> actions;  // in order of due time, then of making
        bool handshake = false;       // a packet image (replies 0x71), not a single message
        bool quiet = false;           // the rest of this transfer goes unanswered
        bool headerSeen = false;
        uint32_t packetCount = 0;
        uint32_t payloadSize = 0;
        std::vector<bool> accepted;
        std::vector<bool> errorSent;  // packetErrorAt applied
        uint32_t acceptedCount = 0;
        std::string newVersion;
        int packets = 0;
        int packetErrors = 0;
        int reboots = 0;
        bool unplugged = false;

        std::mutex pumpMu;
        std::condition_variable pumpCv;
        bool stopPump = false;
    };

    platform::midi::VirtualMidi& vm_;
    platform::midi::VirtualMidi::DeviceId listen_;
    std::shared_ptr<Core> core_;
    platform::VirtualClock* hookedClock_ = nullptr;
    int hook_ = 0;
    int advanceHook_ = 0;
    std::thread pump_;
};

}  // namespace sim
