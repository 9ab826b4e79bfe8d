#pragma once
// The amplifier's side of the protocol, whatever carries its bytes. It takes
// the bytes the program sends, in pieces of any size, and answers through an
// AmpLink: identity replies with its firmware version, program changes, a
// whole firmware update (header, packets, verify, programming), then a
// reboot in which its ports vanish and come back with the new version.
// Faults are switches in AmpFaults.
//
// It keeps to the protocol as a device does, whatever the program does: a
// packet is taken only after the ready reply has gone out and once the packet
// before it has been answered (others are ignored); a packet that does not
// fit its header is answered 0x74 and kept out of the image; an image with a
// packet missing fails its verify (0x7A) and is not programmed.
//
// Timed steps run when the owner calls runDue(); the owner decides which
// thread and how often (msToNextStep tells when).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Packet numbers are the index the packet carries, counted from 0; -1 = off.
struct AmpFaults {
    bool silent = false;        // takes everything, answers and does nothing
    bool noReadyReply = false;  // the header goes unanswered, so no packet is taken
    int packetErrorAt = -1;     // packet k answered 0x74 the first time it comes, its data lost
    bool recoversLostPacket = false;  // the packet behind packetErrorAt is kept after all
    int silentAtPacket = -1;    // packet k and the rest of that transfer go unanswered
    bool verifyStop = false;    // 0x7A instead of 0x7D; nothing is programmed
    bool silentAtVerify = false;   // no verify reply; nothing more happens
    bool silentAtProgram = false;  // 0x7D, then no 0x71 and no reboot
    std::string versionAfterReboot{};  // "" = the version the image carries
    bool noReboot = false;      // ports stay (as behind a DIN interface); still deaf while it restarts
    uint32_t replyDelayMs = 0;  // for the replies to the header and packets; 0 = at once
    int vanishAtPacket = -1;    // on packet k both ports vanish for good
    std::string neighbourVersion{};  // another device on the line answers identity requests with it
    bool operator==(const AmpFaults&) const = default;
};

// When each later step comes, from the step before it.
struct AmpTiming {
    uint32_t verifyMs = 3000;       // last packet -> 0x7D / 0x7A
    uint32_t programMs = 4000;      // 0x7D (or a single-message image) -> 0x71
    uint32_t rebootDelayMs = 1000;  // 0x71 -> ports vanish
    uint32_t rebootMs = 3000;       // ports vanish -> ports return with the new version
    bool operator==(const AmpTiming&) const = default;
};

enum class AmpState {
    Idle,         // running; ready for an update
    Receiving,    // header taken, packets expected
    Verifying,    // every packet in
    Programming,  // verified (or a single-message image taken)
    Rebooting,    // from 0x71 until the ports are back
    Gone,         // ports vanished for good
};

// What carries the amplifier's bytes. Called without the core's lock held,
// from whichever thread fed bytes in or ran the due steps.
class AmpLink {
public:
    virtual ~AmpLink() = default;
    virtual void send(const std::vector<uint8_t>& bytes) = 0;
    virtual void vanish() = 0;   // the ports go (restart, or for good)
    virtual void restore() = 0;  // the ports are back
    // One line per message taken or sent and per restart step, for a log.
    virtual void note(const std::string& line) {}
    // Each whole message as it arrived, before it is acted on.
    virtual void received(const std::vector<uint8_t>& message) {}
};

// F0 00 7D 4B 12 ...: the header, packets and single-message images.
bool isFirmwareMessage(const std::vector<uint8_t>& m);

// A line of the amplifier's log (what AmpLink::note gets) with the tick
// count at which it happened.
struct AmpEvent {
    uint32_t at = 0;
    std::string line;
};

class AmpCore {
public:
    // now gives the tick count in ms (it may wrap).
    AmpCore(AmpLink& link, std::string version, std::function<uint32_t()> now);
    AmpCore(const AmpCore&) = delete;
    AmpCore& operator=(const AmpCore&) = delete;

    // Bytes from the program, split anywhere.
    void received(const uint8_t* data, size_t n);
    // Performs the timed steps that have come due, in order.
    void runDue();
    // How long until the next timed step; none when nothing is pending.
    std::optional<uint32_t> msToNextStep() const;
    // No more steps and no more replies. Once it returns no runDue is still
    // at work; bytes being received on another thread may still finish.
    void close();

    void setVersion(const std::string& version);
    void setSilent(bool silent);
    void setFaults(const AmpFaults& faults);
    void setTiming(const AmpTiming& timing);

    int identityRequests() const;
    std::vector<uint8_t> programChanges() const;
    int preset() const;
    bool headerReceived() const;
    int packetsReceived() const;
    int packetErrorsSent() const;
    AmpState state() const;
    int rebootCount() const;
    std::string version() const;
    // The most recent log lines, oldest first.
    std::vector<AmpEvent> events() const;

private:
    enum class Step { Reply, Verified, Programmed, Vanish, Return };
    struct Action {
        uint32_t due = 0;
        Step step = Step::Reply;
        uint8_t code = 0;     // Reply
        int64_t packet = -1;  // Reply: the packet it answers, for the log
    };
    // What to do on the link once the lock is let go, in order.
    struct Op {
        enum Kind { Send, Vanish, Restore, Note } kind = Send;
        std::vector<uint8_t> bytes;  // Send
        std::string line;            // Note, and Send's log line
    };
    using Ops = std::vector<Op>;
    // Under mu: an op with a log line, which is timed now.
    void push(Ops& ops, Op op);

    void message(const std::vector<uint8_t>& m);
    // Under mu; what they want done on the link goes to ops.
    void firmwareMessage(const std::vector<uint8_t>& m, Ops& ops);
    void acceptPacket(const std::vector<uint8_t>& m, Ops& ops);
    void perform(const Action& a, Ops& ops);
    void reply(uint8_t code, int64_t packet, Ops& ops);
    void sendCode(uint8_t code, int64_t packet, Ops& ops);
    void answered(uint8_t code);
    void schedule(uint32_t inMs, Step step, uint8_t code = 0, int64_t packet = -1);
    void scheduleAt(uint32_t due, Step step, uint8_t code = 0, int64_t packet = -1);
    void apply(const Ops& ops);  // not under mu

    AmpLink& link_;
    std::function<uint32_t()> now_;
    std::mutex runMu_;  // one thread runs due actions at a time, in order
    mutable std::mutex mu_;
    bool closed_ = false;
    std::string version_;
    AmpFaults faults_;
    AmpTiming timing_;
    std::vector<uint8_t> pending_;  // bytes of the message being received
    uint8_t running_ = 0;
    int identityRequests_ = 0;
    std::vector<uint8_t> programs_;

    AmpState state_ = AmpState::Idle;
    std::vector<Action> actions_;  // in order of due time, then of making
    bool handshake_ = false;       // a packet image (replies 0x71), not a single message
    bool quiet_ = false;           // the rest of this transfer goes unanswered
    bool ready_ = false;           // 0x7B has gone out: packets are taken from now on
    bool answering_ = false;       // a packet's reply has yet to go out: the next one is not taken
    bool headerSeen_ = false;
    uint32_t packetCount_ = 0;
    uint32_t payloadSize_ = 0;
    std::vector<bool> accepted_;   // in the image that is verified
    std::vector<bool> errorSent_;  // packetErrorAt applied
    uint32_t acceptedCount_ = 0;
    std::string newVersion_;
    int packets_ = 0;
    int packetErrors_ = 0;
    int reboots_ = 0;
    bool unplugged_ = false;
    std::deque<AmpEvent> events_;  // the latest lines, oldest first
};

}  // namespace sim
