#include "firmware/syx_generator.h"

#include <cctype>

#include "firmware/firmware_header.h"

namespace firmware {

namespace {

// A small, repeatable stream of 7-bit bytes.
struct Stream7 {
    uint32_t s;
    explicit Stream7(uint32_t seed) : s(seed ? seed : 0x9E3779B9u) {}
    uint8_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return static_cast<uint8_t>(s & 0x7F);
    }
};

void fillPayload(uint8_t* p, size_t n, uint32_t seed, bool encrypted) {
    Stream7 data(seed);
    Stream7 key(seed * 2654435761u + 7);
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = data.next();
        if (encrypted) b ^= key.next();
        p[i] = b & 0x7F;
    }
}

void commonHeader(uint8_t* p, uint8_t device, uint8_t type) {
    p[0] = 0xF0;
    p[1] = 0x00;
    p[2] = 0x7D;
    p[3] = 0x4B;
    p[4] = 0x12;
    p[5] = device & 0x7F;
    p[6] = type;
}

}  // namespace

uint32_t payloadChecksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

std::vector<uint8_t> makeSingleImage(const SingleImageParams& params) {
    const size_t total = params.totalSize < kSingleOverhead ? kSingleOverhead : params.totalSize;
    const size_t payload = total - kSingleOverhead;
    std::vector<uint8_t> img(total, 0);
    commonHeader(img.data(), params.device, kTypeSingle);
    for (int i = 0; i < 4; ++i) img[7 + i] = params.digits[i] & 0x0F;
    img[15] = params.encrypted ? 1 : 0;
    putNibbleField(&img[16], static_cast<uint32_t>(payload));
    fillPayload(&img[32], payload, params.seed, params.encrypted);
    putNibbleField(&img[24], payloadChecksum(&img[32], payload));
    img[total - 1] = 0xF7;
    return img;
}

std::vector<uint8_t> makePacketImage(const PacketImageParams& params) {
    const size_t msg = params.payloadSize + kPacketOverhead;
    const size_t total = kPacketHeaderBytes + size_t(params.packetCount) * msg;
    std::vector<uint8_t> img(total, 0);
    commonHeader(img.data(), params.device, kTypePacket);
    putNibbleField(&img[7], params.packetCount);
    putNibbleField(&img[15], params.payloadSize);
    putNibbleField(&img[23], params.displaySize ? params.displaySize : static_cast<uint32_t>(total));
    for (int i = 0; i < 4; ++i) img[31 + i] = params.digits[i] & 0x0F;
    img[35] = params.encrypted ? 1 : 0;
    img[36] = 0xF7;
    for (uint32_t k = 0; k < params.packetCount; ++k) {
        uint8_t* m = &img[kPacketHeaderBytes + k * msg];
        commonHeader(m, params.device, kTypePacketMessage);
        putNibbleField(m + 7, k);
        putNibbleField(m + 15, params.payloadSize);
        fillPayload(m + 36, params.payloadSize, params.seed + k * 7919u, params.encrypted);
        putNibbleField(m + 23, payloadChecksum(m + 36, params.payloadSize));
        m[msg - 1] = 0xF7;
    }
    return img;
}

bool parseVersionDigits(const std::string& text, std::array<uint8_t, 4>& digits) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 2 || text.size() - dot - 1 != 2) return false;
    std::string major = text.substr(0, dot);
    if (major.size() == 1) major = "0" + major;
    const std::string all = major + text.substr(dot + 1);
    for (int i = 0; i < 4; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(all[i]))) return false;
        digits[i] = static_cast<uint8_t>(all[i] - '0');
    }
    return true;
}

}  // namespace firmware
