#include "upload/device_messages.h"

namespace upload {

bool wholeMessage(const uint8_t* data, size_t size) {
    return data != nullptr && size >= 2 && data[0] == 0xF0 && data[size - 1] == 0xF7;
}

Reply decodeReply(const uint8_t* data, size_t size) {
    Reply r;
    if (!wholeMessage(data, size)) return r;
    if (data[1] == 0x7E) {
        // Universal non-real-time: an identity reply, or not ours to read.
        if (size < kIdentityReplyBytes || data[3] != 0x06 || data[4] != 0x02) return r;
        const uint8_t* v = data + kRevisionOffset;
        // Characters as the amplifier sends them; digits are '0'..'9'.
        r.version = uint32_t(uint8_t(v[0] - 0x30)) << 24 | uint32_t(uint8_t(v[1] - 0x30)) << 16 |
                    uint32_t(uint8_t(v[2] - 0x30)) << 8 | uint32_t(uint8_t(v[3] - 0x30));
        r.versionText[0] = char(v[0]);
        r.versionText[1] = char(v[1]);
        r.versionText[2] = '.';
        r.versionText[3] = char(v[2]);
        r.versionText[4] = char(v[3]);
        r.versionText[5] = '\0';
        r.identity = true;
        r.code = replyIdentity;
        return r;
    }
    if (size > kReplyCodeOffset + 1 && data[kReplyCodeOffset] < 0x80) r.code = data[kReplyCodeOffset];
    return r;
}

std::string logLine(const uint8_t* data, size_t size) {
    static const char hex[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        s += hex[data[i] >> 4];
        s += hex[data[i] & 0x0F];
        s += ' ';
    }
    return s;
}

std::vector<uint8_t> identityReplyBytes(const std::string& version) {
    std::string digits;
    for (char c : version)
        if (c >= '0' && c <= '9') digits += c;
    digits.resize(4, '0');
    // F0 7E device 06 02, a three-byte maker ID, family and model, revision, F7.
    std::vector<uint8_t> m = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x7D, 0x4B, 0x01, 0x00, 0x02, 0x00};
    for (char c : digits) m.push_back(uint8_t(c));
    m.push_back(0xF7);
    return m;
}

}  // namespace upload
