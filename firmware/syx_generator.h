#pragma once
// Makes well-formed firmware images for tests, the examples, the simulated
// amplifier and the built-in intermediate image.
//
// Single-message image (type 16), one message F0 ... F7:
//   0-6 common header, 7-10 version digits, 11-14 zero, 15 encryption mark,
//   16-23 payload length (nibble field), 24-31 payload checksum (nibble field),
//   payload, F7.
// Packet image (type 19): the 37-byte header message (ending F7), then packet
// messages of P + 37 bytes: 0-6 common header with type 1A, 7-14 packet index,
//   15-22 P, 23-30 payload checksum (all nibble fields), 31-35 zero, payload, F7.
// Payload bytes are a repeatable 7-bit stream; an encrypted image scrambles it
// with a key stream and carries the mark, which is all the program ever sees.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

inline constexpr uint8_t kTypePacketMessage = 0x1A;
inline constexpr size_t kSingleOverhead = 33;  // header fields and closing F7

struct SingleImageParams {
    std::array<uint8_t, 4> digits{0, 1, 3, 9};
    size_t totalSize = 4096;  // whole message, at least kSingleOverhead
    bool encrypted = false;
    uint8_t device = 0x01;
    uint32_t seed = 1;
};

struct PacketImageParams {
    std::array<uint8_t, 4> digits{0, 2, 0, 6};
    uint32_t packetCount = 10;
    uint32_t payloadSize = 1024;
    bool encrypted = false;
    uint8_t device = 0x01;
    uint32_t seed = 1;
    // What the header shows as "File Size"; 0 means the file's real length.
    uint32_t displaySize = 0;
};

std::vector<uint8_t> makeSingleImage(const SingleImageParams& params);
std::vector<uint8_t> makePacketImage(const PacketImageParams& params);

// Sum of the payload bytes, as the packet and single-message fields carry it.
uint32_t payloadChecksum(const uint8_t* p, size_t n);

// "1.39" or "01.39" -> {0,1,3,9}; false when the text is not a version.
bool parseVersionDigits(const std::string& text, std::array<uint8_t, 4>& digits);

}  // namespace firmware
