#pragma once
// The messages exchanged with the amplifier and the decoding of its replies.
// Plain logic: no window, no thread, no MIDI port.

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

struct Reply {
    // The reply code; none for a message too short to carry one.
    std::optional<int32_t> code;
    bool identity = false;
    uint32_t version = 0;     // identity replies: digits packed one per byte
    char versionText[6] = {};  // identity replies: "dd.dd"
};

// Reads what the window needs of one System Exclusive message, never past
// its end: messages shorter than 7 bytes carry no code, and a universal
// non-real-time message shorter than 16 bytes is no identity reply.
Reply decodeReply(const uint8_t* data, size_t size);

// The log line of a message: each byte as two upper-case hex digits and a space.
std::string logLine(const uint8_t* data, size_t size);

// An identity reply as an amplifier of the given version sends it.
// version is "dd.dd" or four digits.
std::vector<uint8_t> identityReplyBytes(const std::string& version);

}  // namespace upload
