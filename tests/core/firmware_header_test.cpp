// Firmware header parsing and the image generator, without Qt.
#include <gtest/gtest.h>

#include <vector>

#include "firmware/firmware_header.h"
#include "firmware/syx_generator.h"

using namespace firmware;

namespace {

TEST(FirmwareHeader, NibbleFieldsAndPackedVersions) {
    const uint8_t count[8] = {0x0A, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t payload[8] = {0, 0, 4, 0, 0, 0, 0, 0};
    EXPECT_EQ(nibbleField(count), 10u);
    EXPECT_EQ(nibbleField(payload), 1024u);
    // Only the low nibble of each byte counts.
    const uint8_t noisy[8] = {0x7F, 0x10, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(nibbleField(noisy), 0x0Fu);
    uint8_t round[8];
    putNibbleField(round, 0xDEADBEEF);
    EXPECT_EQ(nibbleField(round), 0xDEADBEEFu);

    const uint8_t v0159[4] = {0, 1, 5, 9};
    EXPECT_EQ(packVersion(v0159, true), 66825u);
    const uint8_t ascii[4] = {0x30, 0x32, 0x30, 0x36};
    EXPECT_EQ(packVersion(ascii, true), 0x00020006u);
    EXPECT_EQ(packVersion(ascii, false), 0x30323036u);
    EXPECT_EQ(versionText(0x00020006u), "02.06");
    // Packed versions order like the versions themselves.
    const uint8_t v0160[4] = {0, 1, 6, 0}, v1000[4] = {1, 0, 0, 0};
    EXPECT_LT(packVersion(v0159, true), packVersion(v0160, true));
    EXPECT_LT(packVersion(v0160, true), packVersion(v1000, true));
}

TEST(FirmwareHeader, SingleMessageImage) {
    SingleImageParams s;
    s.totalSize = 500;
    auto img = makeSingleImage(s);
    ASSERT_EQ(img.size(), 500u);
    EXPECT_EQ(img.front(), 0xF0);
    EXPECT_EQ(img.back(), 0xF7);
    for (size_t i = 1; i + 1 < img.size(); ++i) ASSERT_LT(img[i], 0x80) << i;
    auto h = parseImage(img.data(), img.size());
    EXPECT_EQ(h.verdict, Verdict::Ok);
    EXPECT_EQ(h.mode, 1);
    EXPECT_EQ(h.fileVersion, 1u);
    EXPECT_EQ(h.versionText, "Old  ");
    EXPECT_EQ(h.displaySize, 500);
    EXPECT_FALSE(h.encrypted);

    s.encrypted = true;
    img = makeSingleImage(s);
    EXPECT_TRUE(parseImage(img.data(), img.size()).encrypted);
    // Only the low nibble of byte 15 marks encryption.
    img[15] = 0x11;
    EXPECT_TRUE(parseImage(img.data(), img.size()).encrypted);
    img[15] = 0x02;
    EXPECT_FALSE(parseImage(img.data(), img.size()).encrypted);
}

TEST(FirmwareHeader, PacketImage) {
    PacketImageParams p;
    p.digits = {0, 2, 0, 6};
    p.packetCount = 10;
    p.payloadSize = 1024;
    p.encrypted = true;
    auto img = makePacketImage(p);
    ASSERT_EQ(img.size(), 37u + 10u * 1061u);
    EXPECT_EQ(img[36], 0xF7);
    auto h = parseImage(img.data(), img.size());
    ASSERT_EQ(h.verdict, Verdict::Ok);
    EXPECT_EQ(h.mode, 2);
    EXPECT_EQ(h.packetCount, 10);
    EXPECT_EQ(h.packetPayloadSize, 1024);
    EXPECT_EQ(h.fileVersion, 0x00020006u);
    EXPECT_EQ(h.expectedVersion, 0x00020006u);
    EXPECT_EQ(h.versionText, "02.06");
    EXPECT_EQ(h.displaySize, static_cast<int64_t>(img.size()));
    EXPECT_TRUE(h.encrypted);
    // Every packet message is framed F0 ... F7 and numbered.
    for (uint32_t k = 0; k < 10; ++k) {
        const uint8_t* m = &img[37 + k * 1061];
        EXPECT_EQ(m[0], 0xF0);
        EXPECT_EQ(m[1060], 0xF7);
        EXPECT_EQ(nibbleField(m + 7), k);
    }
}

TEST(FirmwareHeader, VersionBytesWithHighBitsKeepThemOnlyInTheExpectedVersion) {
    PacketImageParams p;
    p.packetCount = 1;
    p.payloadSize = 4;
    auto img = makePacketImage(p);
    img[31] = 0x30; img[32] = 0x32; img[33] = 0x30; img[34] = 0x36;
    auto h = parseImage(img.data(), img.size());
    EXPECT_EQ(h.fileVersion, 0x00020006u);
    EXPECT_EQ(h.expectedVersion, 0x30323036u);
    EXPECT_EQ(h.versionText, "02.06");
}

TEST(FirmwareHeader, BadHeadersAreRejected) {
    SingleImageParams s;
    s.totalSize = 64;
    const auto good = makeSingleImage(s);
    for (size_t at : {0, 1, 2, 3, 4}) {
        auto img = good;
        img[at] ^= 0x01;
        EXPECT_EQ(parseImage(img.data(), img.size()).verdict, Verdict::BadHeader) << "byte " << at;
        EXPECT_EQ(parseImage(img.data(), img.size()).mode, 0);
    }
    // The device byte is not looked at.
    auto img = good;
    img[5] = 0x55;
    EXPECT_EQ(parseImage(img.data(), img.size()).mode, 1);
    img = good;
    img[6] = 0x17;
    EXPECT_EQ(parseImage(img.data(), img.size()).verdict, Verdict::UnknownType);
    EXPECT_EQ(parseImage(nullptr, 100).mode, 0);
    EXPECT_EQ(parseImage(good.data(), 0).verdict, Verdict::TooShort);
}

TEST(FirmwareHeader, TruncatedFilesAreRejectedWithoutReadingPastTheirEnd) {
    SingleImageParams s;
    s.totalSize = 64;
    auto single = makeSingleImage(s);
    // Copy into exact-size buffers so a read past the end shows under ASan.
    for (size_t n : std::vector<size_t>{6, 7, 15}) {
        std::vector<uint8_t> cut(single.begin(), single.begin() + n);
        EXPECT_EQ(parseImage(cut.data(), cut.size()).mode, 0) << n;
    }
    std::vector<uint8_t> sixteen(single.begin(), single.begin() + 16);
    EXPECT_EQ(parseImage(sixteen.data(), sixteen.size()).mode, 1);

    PacketImageParams p;
    p.packetCount = 3;
    p.payloadSize = 100;
    auto pk = makePacketImage(p);
    for (size_t n : std::vector<size_t>{36, 37, 37 + 2 * 137, pk.size() - 1}) {
        std::vector<uint8_t> cut(pk.begin(), pk.begin() + static_cast<long>(n));
        EXPECT_EQ(parseImage(cut.data(), cut.size()).mode, 0) << n;
    }
    // Extra bytes after the last packet do no harm.
    pk.push_back(0);
    EXPECT_EQ(parseImage(pk.data(), pk.size()).mode, 2);
}

TEST(FirmwareHeader, ImpossibleLayoutsAreRejected) {
    PacketImageParams p;
    p.packetCount = 0;
    p.payloadSize = 0;
    auto img = makePacketImage(p);
    EXPECT_EQ(parseImage(img.data(), img.size()).mode, 2);  // an empty image is well-formed
    putNibbleField(&img[7], 0xFFFFFFFF);
    EXPECT_EQ(parseImage(img.data(), img.size()).verdict, Verdict::BadLayout);
    putNibbleField(&img[7], 1);
    putNibbleField(&img[15], 0xFFFFFFF0);
    EXPECT_EQ(parseImage(img.data(), img.size()).verdict, Verdict::BadLayout);
    // Large but representable: the product overflows 32 bits and must not wrap.
    putNibbleField(&img[7], 0x10000);
    putNibbleField(&img[15], 0x10000 - 37);
    EXPECT_EQ(parseImage(img.data(), img.size()).verdict, Verdict::TruncatedPackets);
}

TEST(FirmwareGenerator, VersionTextsAndRepeatableOutput) {
    std::array<uint8_t, 4> d{};
    EXPECT_TRUE(parseVersionDigits("1.39", d));
    EXPECT_EQ(d, (std::array<uint8_t, 4>{0, 1, 3, 9}));
    EXPECT_TRUE(parseVersionDigits("02.06", d));
    EXPECT_EQ(d, (std::array<uint8_t, 4>{0, 2, 0, 6}));
    for (const char* bad : {"", "1", "1.3", "123.45", "a.bc", ".12", "1.234"}) EXPECT_FALSE(parseVersionDigits(bad, d)) << bad;

    SingleImageParams s;
    EXPECT_EQ(makeSingleImage(s), makeSingleImage(s));
    PacketImageParams a, b;
    b.encrypted = true;
    EXPECT_NE(makePacketImage(a), makePacketImage(b));
}

}  // namespace
