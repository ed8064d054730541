#include <gtest/gtest.h>

#include <vector>

#include "NerivaneKit/probing/ICMPPacket.h"

namespace nerivane {
namespace {

using Bytes = std::vector<std::uint8_t>;

const ICMPPacket::Echo sample{0x1234, 0x0001, 0x0102030405060708};

// The request for `sample`, written out byte by byte. Its checksum, by hand:
// header words 0800 + 0000 + 1234 + 0001 + 0102 + 0304 + 0506 + 0708 = 2a49;
// the 24 pattern words 1011, 1213, .., 3e3f add up to 3abc0; 2a49 + 3abc0 =
// 3d609, folded d609 + 3 = d60c, complemented 29f3.
Bytes handBuiltRequestV4() {
    Bytes bytes{0x08, 0x00, 0x29, 0xf3, 0x12, 0x34, 0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    for (int i = 16; i < 64; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    return bytes;
}

// The same echo as a reply: type 0 takes 0800 out of the sum, so the checksum
// is ~(3ce09 folded = ce0c) = 31f3.
Bytes handBuiltReplyV4() {
    Bytes bytes = handBuiltRequestV4();
    bytes[0] = 0x00;
    bytes[2] = 0x31;
    bytes[3] = 0xf3;
    return bytes;
}

Bytes ipHeader(std::uint8_t versionAndLength = 0x45, std::uint8_t protocol = 1) {
    const std::size_t length = static_cast<std::size_t>(versionAndLength & 0x0f) * 4;
    Bytes header(std::max<std::size_t>(length, 10), 0);
    header[0] = versionAndLength;
    header[8] = 64;  // TTL
    header[9] = protocol;
    return header;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::optional<ICMPPacket::Echo> parse(const Bytes& bytes, IPFamily family) {
    return ICMPPacket::parseReply(bytes, family);
}

TEST(ICMPPacketChecksum, FollowsRFC1071) {
    // The worked example of RFC 1071: the sum ddf2 complements to 220d.
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), 0x220d);
    // An odd last byte is the high byte of a word: 1234 + 5600 = 6834.
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x12, 0x34, 0x56}), 0x97cb);
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x01}), 0xfeff);
    // ffff + 0001 carries into bit 16; folded back it is 0001.
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0xff, 0xff, 0x00, 0x01}), 0xfffe);
    EXPECT_EQ(ICMPPacket::checksum(Bytes{}), 0xffff);
}

TEST(ICMPPacketChecksum, KeepsEveryCarryOfLongData) {
    // 70,000 words of ffff: a 32-bit running sum would wrap and lose carries.
    const Bytes data(140'000, 0xff);
    EXPECT_EQ(ICMPPacket::checksum(data), 0x0000);
    Bytes withOne = data;
    withOne.push_back(0x00);
    withOne.push_back(0x01);
    EXPECT_EQ(ICMPPacket::checksum(withOne), 0xfffe);
}

TEST(ICMPPacketRequest, IPv4LayoutMatchesTheHandBuiltBytes) {
    const auto request = ICMPPacket::request(sample, IPFamily::v4);
    EXPECT_EQ(Bytes(request.begin(), request.end()), handBuiltRequestV4());
    EXPECT_EQ(ICMPPacket::checksum(request), 0) << "a correct checksum verifies to 0";
}

TEST(ICMPPacketRequest, IPv6LeavesTheChecksumToTheKernel) {
    const auto request = ICMPPacket::request(sample, IPFamily::v6);
    Bytes expected = handBuiltRequestV4();
    expected[0] = 128;
    expected[2] = expected[3] = 0;
    EXPECT_EQ(Bytes(request.begin(), request.end()), expected);
}

TEST(ICMPPacketRequest, ParsesBackForBothFamilies) {
    const ICMPPacket::Echo echo{0xffff, 0xfffe, 0xfedcba9876543210};
    for (IPFamily family : {IPFamily::v4, IPFamily::v6}) {
        const auto request = ICMPPacket::request(echo, family);
        EXPECT_EQ(ICMPPacket::parseRequest(request, family), echo);
        EXPECT_EQ(ICMPPacket::parseRequest(request, family == IPFamily::v4 ? IPFamily::v6 : IPFamily::v4),
                  std::nullopt)
            << "a request of the other family";
        EXPECT_EQ(ICMPPacket::parseReply(request, family), std::nullopt) << "a request is no reply";
    }
    EXPECT_EQ(ICMPPacket::parseRequest(Bytes(15, 8), IPFamily::v4), std::nullopt);
}

TEST(ICMPPacketReply, ParsesAnIPv4ReplyWithOrWithoutItsIPHeader) {
    EXPECT_EQ(parse(handBuiltReplyV4(), IPFamily::v4), sample);
    EXPECT_EQ(parse(concat(ipHeader(), handBuiltReplyV4()), IPFamily::v4), sample);
    // A header with options (24 bytes) is skipped as a whole.
    EXPECT_EQ(parse(concat(ipHeader(0x46), handBuiltReplyV4()), IPFamily::v4), sample);
    // The pattern is not checked, and a short (16-byte) reply still parses.
    Bytes shortReply = handBuiltReplyV4();
    shortReply.resize(16);
    shortReply[2] = shortReply[3] = 0;
    const std::uint16_t sum = ICMPPacket::checksum(shortReply);
    shortReply[2] = static_cast<std::uint8_t>(sum >> 8);
    shortReply[3] = static_cast<std::uint8_t>(sum);
    EXPECT_EQ(parse(shortReply, IPFamily::v4), sample);
}

TEST(ICMPPacketReply, RejectsBadIPv4Headers) {
    // Header length below 20 bytes.
    EXPECT_EQ(parse(concat(ipHeader(0x44), handBuiltReplyV4()), IPFamily::v4), std::nullopt);
    // Not ICMP (protocol 6 is TCP).
    EXPECT_EQ(parse(concat(ipHeader(0x45, 6), handBuiltReplyV4()), IPFamily::v4), std::nullopt);
    // Fewer than 8 bytes after the header.
    EXPECT_EQ(parse(concat(ipHeader(), Bytes{0, 0, 0, 0, 0, 0, 0}), IPFamily::v4), std::nullopt);
    // A 60-byte header in a 40-byte datagram.
    Bytes cut = ipHeader(0x4f);
    cut.resize(40);
    EXPECT_EQ(parse(cut, IPFamily::v4), std::nullopt);
    // Room for 8 bytes but not for the 16-byte echo header.
    Bytes eight = handBuiltReplyV4();
    eight.resize(8);
    EXPECT_EQ(parse(concat(ipHeader(), eight), IPFamily::v4), std::nullopt);
}

TEST(ICMPPacketReply, RejectsTruncatedGarbageAndCorruptedReplies) {
    for (IPFamily family : {IPFamily::v4, IPFamily::v6}) {
        EXPECT_EQ(parse(Bytes{}, family), std::nullopt);
        EXPECT_EQ(parse(Bytes{0x45}, family), std::nullopt);
        EXPECT_EQ(parse(Bytes(15, 0), family), std::nullopt);
        EXPECT_EQ(parse(Bytes(64, 0xa5), family), std::nullopt);
    }
    Bytes corrupted = handBuiltReplyV4();
    corrupted[3] ^= 0x01;
    EXPECT_EQ(parse(corrupted, IPFamily::v4), std::nullopt) << "checksum field damaged";
    corrupted = handBuiltReplyV4();
    corrupted[40] ^= 0x80;
    EXPECT_EQ(parse(corrupted, IPFamily::v4), std::nullopt) << "payload damaged";
    EXPECT_EQ(parse(concat(ipHeader(), corrupted), IPFamily::v4), std::nullopt);
    Bytes coded = handBuiltReplyV4();
    coded[1] = 1;
    coded[3] = static_cast<std::uint8_t>(coded[3] - 1);  // checksum still right
    ASSERT_EQ(ICMPPacket::checksum(coded), 0);
    EXPECT_EQ(parse(coded, IPFamily::v4), std::nullopt) << "code must be 0";
}

TEST(ICMPPacketReply, ParsesIPv6Type129WithoutCheckingTheChecksum) {
    Bytes reply = handBuiltRequestV4();
    reply[0] = 129;
    reply[2] = 0xde;  // the kernel verified the real one; ours is not looked at
    reply[3] = 0xad;
    EXPECT_EQ(parse(reply, IPFamily::v6), sample);
    reply[1] = 1;
    EXPECT_EQ(parse(reply, IPFamily::v6), std::nullopt) << "code must be 0";
    reply[1] = 0;
    reply[0] = 0;
    EXPECT_EQ(parse(reply, IPFamily::v6), std::nullopt) << "an IPv4 reply type on an IPv6 socket";
    // An IPv4 reply parsed as IPv6 and the other way round.
    EXPECT_EQ(parse(handBuiltReplyV4(), IPFamily::v6), std::nullopt);
    reply[0] = 129;
    EXPECT_EQ(parse(reply, IPFamily::v4), std::nullopt);
}

TEST(ICMPPacketMessage, BuildsRepliesThatParse) {
    const auto reply = ICMPPacket::message(ICMPPacket::echoReplyV4, sample);
    EXPECT_EQ(Bytes(reply.begin(), reply.end()), handBuiltReplyV4());
}

}  // namespace
}  // namespace nerivane
