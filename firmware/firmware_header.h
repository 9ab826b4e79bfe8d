#pragma once
// Firmware file layout: parsing of a .syx image's header. Plain C++, no Qt.
//
// Common header: F0, manufacturer 00 7D 4B, model 12, device byte, type byte
// (16 single-message image, 19 packet image). A packet image's 37-byte header
// carries nibble fields for the packet count (7-14), payload size (15-22) and
// display size (23-30), the version digits (31-34) and the encryption mark (35).

#include <cstddef>
#include <cstdint>
#include <string>

namespace firmware {

inline constexpr uint8_t kTypeSingle = 0x16;
inline constexpr uint8_t kTypePacket = 0x19;
inline constexpr size_t kSingleHeaderBytes = 16;  // the loader reads up to byte 15
inline constexpr size_t kPacketHeaderBytes = 37;
inline constexpr size_t kPacketOverhead = 37;     // a packet message is P + 37 bytes
inline constexpr uint32_t kVersion0159 = 0x00010509;

// Eight bytes, one nibble each, least significant first.
uint32_t nibbleField(const uint8_t* p);
void putNibbleField(uint8_t* p, uint32_t value);

// Four bytes packed one per byte, first byte most significant. With
// lowNibbles the low nibble of each byte is taken (the file's version).
uint32_t packVersion(const uint8_t* p, bool lowNibbles);

// "d1d2.d3d4" from a packed version's low nibbles.
std::string versionText(uint32_t packed);

enum class Verdict {
    Ok,
    TooShort,         // not even the common header
    BadHeader,        // start byte, manufacturer or model wrong
    UnknownType,      // a good header with a type other than 16 or 19
    TruncatedHeader,  // shorter than the header bytes its type reads
    TruncatedPackets, // a packet image shorter than its packets announce
    BadLayout,        // packet count or payload size that no file can hold
};

struct HeaderInfo {
    Verdict verdict = Verdict::TooShort;
    int mode = 0;                     // 0 invalid, 1 single-message, 2 packet image
    uint32_t fileVersion = 0;         // packed low nibbles; 1 for a single-message image
    uint32_t expectedVersion = 0;     // packet image: bytes 31-34 as they stand
    std::string versionText;          // "d1d2.d3d4" or "Old  "
    bool encrypted = false;
    int32_t packetCount = 0;
    int32_t packetPayloadSize = 0;
    int64_t displaySize = 0;          // what "File Size" shows
};

// Checks and reads the image at data (size bytes). A packet image must hold
// its header and every packet it announces.
HeaderInfo parseImage(const uint8_t* data, size_t size);

const char* verdictText(Verdict v);

}  // namespace firmware
