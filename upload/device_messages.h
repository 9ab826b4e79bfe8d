#pragma once
// The messages exchanged with the amplifier and the decoding of its replies.
// Plain logic: no window, no thread, no MIDI port.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace upload {

// Universal non-real-time identity request to all devices.
inline constexpr uint8_t identityRequest[6] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// Reply codes: byte 6 of every System Exclusive message from the amplifier.
inline constexpr int32_t replyReady = 0x7B;        // ready for data, after the header message
inline constexpr int32_t replyPacketAck = 0x7C;    // packet received
inline constexpr int32_t replyPacketError = 0x74;  // packet error
inline constexpr int32_t replyVerified = 0x7D;     // verify passed, programming follows
inline constexpr int32_t replyVerifyStop = 0x7A;   // verify failed, nothing programmed
inline constexpr int32_t replyProgrammed = 0x71;   // programming complete
inline constexpr int32_t replyIdentity = 0x7E;     // identity reply (from byte 1)

// Version 01.59, packed one digit per byte: the newest firmware that cannot
// take part in the packet handshake.
inline constexpr uint32_t kLastOpenLoopVersion = 0x00010509;

inline constexpr size_t kReplyCodeOffset = 6;
inline constexpr size_t kRevisionOffset = 12;  // four revision characters in an identity reply
// F0 7E, the device, 06 02, a three-byte maker ID, family and model, the
// revision, F7.
inline constexpr size_t kIdentityReplyBytes = 17;

struct Reply {
    // The reply code; none for a message too short to carry one.
    std::optional<int32_t> code;
    bool identity = false;
    uint32_t version = 0;     // identity replies: digits packed one per byte
    char versionText[6] = {};  // identity replies: "dd.dd"
};

// A whole System Exclusive message in one buffer: F0 first, F7 last. A
// receive buffer that filled in the middle of a longer message, or holds its
// end, is not one.
bool wholeMessage(const uint8_t* data, size_t size);

// Reads what the window needs of one System Exclusive message, never past
// its end. Only a whole message is a reply, and its code is byte 6 when that
// is a data byte (so a message of fewer than 8 bytes carries none). A
// universal non-real-time message counts only as an identity reply (sub-IDs
// 06 02, the revision whole before its F7); any other carries no code.
Reply decodeReply(const uint8_t* data, size_t size);

// The reply codes seen since a wait last cleared them, beside the latest
// one: a wait that looks away for a while (a pause, a light show) still
// finds its code when another message came after it. Written by the MIDI
// input thread, read and cleared by the window's.
class ReplySet {
public:
    void clear() {
        for (auto& w : bits_) w.store(0, std::memory_order_release);
    }
    void add(int32_t code) {
        if (code >= 0 && code < 128) bits_[code >> 6].fetch_or(uint64_t(1) << (code & 63), std::memory_order_acq_rel);
    }
    bool has(int32_t code) const {
        return code >= 0 && code < 128 && (bits_[code >> 6].load(std::memory_order_acquire) >> (code & 63) & 1);
    }

private:
    std::atomic<uint64_t> bits_[2] = {};
};

// The log line of a message: each byte as two upper-case hex digits and a space.
std::string logLine(const uint8_t* data, size_t size);

// An identity reply as an amplifier of the given version sends it.
// version is "dd.dd" or four digits.
std::vector<uint8_t> identityReplyBytes(const std::string& version);

}  // namespace upload
