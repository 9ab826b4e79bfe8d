// Decoding the amplifier's replies, without a window or a port.
#include <gtest/gtest.h>

#include <vector>

#include "upload/device_messages.h"

using namespace upload;

namespace {

Reply decode(const std::vector<uint8_t>& m) { return decodeReply(m.data(), m.size()); }

TEST(DeviceMessagesTest, IdentityReplyGivesThePackedVersionAndItsText) {
    const auto m = identityReplyBytes("02.06");
    ASSERT_EQ(m.size(), 17u);
    EXPECT_EQ(m[1], 0x7E);
    EXPECT_EQ(m[12], '0');
    EXPECT_EQ(m[15], '6');
    const Reply r = decode(m);
    EXPECT_TRUE(r.identity);
    EXPECT_EQ(r.code, replyIdentity);
    EXPECT_EQ(r.version, 0x00020006u);
    EXPECT_STREQ(r.versionText, "02.06");
    // Packed versions compare digit by digit.
    EXPECT_GT(decode(identityReplyBytes("01.60")).version, kLastOpenLoopVersion);
    EXPECT_EQ(decode(identityReplyBytes("01.59")).version, kLastOpenLoopVersion);
    EXPECT_LT(decode(identityReplyBytes("00.99")).version, kLastOpenLoopVersion);
}

TEST(DeviceMessagesTest, OnlyByteSixCountsForOtherReplies) {
    // Whatever the other bytes hold, byte 6 is the code.
    EXPECT_EQ(decode({0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7C, 0xF7}).code, replyPacketAck);
    EXPECT_EQ(decode({0xF0, 0x55, 0x66, 0x77, 0x11, 0x22, 0x74, 0x01, 0x02, 0xF7}).code, replyPacketError);
    const Reply r = decode({0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x71, 0xF7});
    EXPECT_FALSE(r.identity);
    EXPECT_EQ(r.version, 0u);
}

TEST(DeviceMessagesTest, OnlyWholeMessagesAreReadAndNeverPastTheirEnd) {
    EXPECT_FALSE(decode({}).code);
    EXPECT_FALSE(decodeReply(nullptr, 40).code);
    EXPECT_FALSE(decode({0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7}).code) << "byte 6 is the end";
    // The start of a longer message, and its end.
    EXPECT_FALSE(decode({0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7C, 0x00}).code);
    EXPECT_FALSE(decode({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7C, 0xF7}).code);
    // Universal non-real-time but no identity reply: no code at all.
    EXPECT_FALSE(decode({0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x7B, 0x00, 0xF7}).code);
    auto m = identityReplyBytes("01.23");
    m[3] = 0x08;
    EXPECT_FALSE(decode(m).code);
    m[3] = 0x06;
    EXPECT_TRUE(decode(m).identity);
    // The revision must be whole before the F7.
    m.erase(m.end() - 2);
    EXPECT_FALSE(decode(m).code);
}

TEST(DeviceMessagesTest, EveryCodeSinceTheClearIsKept) {
    ReplySet seen;
    seen.add(replyVerified);
    seen.add(replyIdentity);
    seen.add(replyProgrammed);
    EXPECT_TRUE(seen.has(replyVerified));
    EXPECT_TRUE(seen.has(replyProgrammed));
    EXPECT_FALSE(seen.has(replyPacketAck));
    seen.clear();
    EXPECT_FALSE(seen.has(replyVerified));
}

TEST(DeviceMessagesTest, LogLineIsUpperCaseHexWithATrailingSpace) {
    const std::vector<uint8_t> m = {0xF0, 0x7E, 0x0A, 0xF7};
    EXPECT_EQ(logLine(m.data(), m.size()), "F0 7E 0A F7 ");
    EXPECT_EQ(logLine(m.data(), 0), "");
}

}  // namespace

#include "upload/upload_timing.h"

namespace {

TEST(UploadTimingTest, PacingFollowsTheWireRate) {
    EXPECT_EQ(upload::singleTickInterval(52576), 15u);  // the built-in intermediate image
    EXPECT_EQ(upload::singleTickInterval(6734), 1u);
    EXPECT_EQ(upload::singleTickInterval(6735), 2u);
    EXPECT_EQ(upload::singleTickInterval(0), 1u);
    EXPECT_EQ(upload::openLoopStepMs(1061), 14u);
    EXPECT_EQ(upload::handshakeStepMs(1061), 28u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(upload::ring2Position(i), 0) << i;
    for (int i = 6; i < 12; ++i) EXPECT_EQ(upload::ring2Position(i), 1) << i;
    EXPECT_EQ(upload::ring2Position(12), 2);
}

}  // namespace
