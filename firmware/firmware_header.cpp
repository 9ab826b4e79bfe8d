#include "firmware/firmware_header.h"

namespace firmware {

uint32_t nibbleField(const uint8_t* p) {
    uint32_t v = 0;
    for (int k = 0; k < 8; ++k) v |= static_cast<uint32_t>(p[k] & 0x0F) << (4 * k);
    return v;
}

void putNibbleField(uint8_t* p, uint32_t value) {
    for (int k = 0; k < 8; ++k) p[k] = static_cast<uint8_t>((value >> (4 * k)) & 0x0F);
}

uint32_t packVersion(const uint8_t* p, bool lowNibbles) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | (lowNibbles ? (p[i] & 0x0F) : p[i]);
    return v;
}

std::string versionText(uint32_t packed) {
    std::string t;
    for (int i = 0; i < 4; ++i) {
        t += static_cast<char>(0x30 + ((packed >> (24 - 8 * i)) & 0x0F));
        if (i == 1) t += '.';
    }
    return t;
}

HeaderInfo parseImage(const uint8_t* d, size_t size) {
    HeaderInfo h;
    if (!d || size < 7) return h;
    if (d[0] != 0xF0 || d[1] != 0x00 || d[2] != 0x7D || d[3] != 0x4B || d[4] != 0x12) {
        h.verdict = Verdict::BadHeader;
        return h;
    }
    const uint8_t type = d[6];
    if (type == kTypeSingle) {
        if (size < kSingleHeaderBytes) {
            h.verdict = Verdict::TruncatedHeader;
            return h;
        }
        h.mode = 1;
        h.fileVersion = 1;
        h.versionText = "Old  ";
        h.encrypted = (d[15] & 0x0F) == 1;
        h.displaySize = static_cast<int64_t>(size);
        h.verdict = Verdict::Ok;
        return h;
    }
    if (type != kTypePacket) {
        h.verdict = Verdict::UnknownType;
        return h;
    }
    if (size < kPacketHeaderBytes) {
        h.verdict = Verdict::TruncatedHeader;
        return h;
    }
    const uint32_t count = nibbleField(d + 7);
    const uint32_t payload = nibbleField(d + 15);
    // The upload keeps these in signed 32-bit fields; a count or size with the
    // top bit set cannot describe a file that fits the image store anyway.
    if (count > 0x7FFFFFFFu || payload > 0x7FFFFFFFu - kPacketOverhead) {
        h.verdict = Verdict::BadLayout;
        return h;
    }
    const uint64_t needed = kPacketHeaderBytes + uint64_t(count) * (uint64_t(payload) + kPacketOverhead);
    if (needed > size) {
        h.verdict = Verdict::TruncatedPackets;
        return h;
    }
    h.mode = 2;
    h.packetCount = static_cast<int32_t>(count);
    h.packetPayloadSize = static_cast<int32_t>(payload);
    h.displaySize = nibbleField(d + 23);
    h.fileVersion = packVersion(d + 31, true);
    h.expectedVersion = packVersion(d + 31, false);
    h.versionText = versionText(h.fileVersion);
    h.encrypted = (d[35] & 0x0F) == 1;
    h.verdict = Verdict::Ok;
    return h;
}

const char* verdictText(Verdict v) {
    switch (v) {
        case Verdict::Ok: return "valid";
        case Verdict::TooShort: return "too short for a header";
        case Verdict::BadHeader: return "not a Kolva header";
        case Verdict::UnknownType: return "unknown image type";
        case Verdict::TruncatedHeader: return "header cut short";
        case Verdict::TruncatedPackets: return "packets cut short";
        case Verdict::BadLayout: return "impossible packet layout";
    }
    return "?";
}

}  // namespace firmware
