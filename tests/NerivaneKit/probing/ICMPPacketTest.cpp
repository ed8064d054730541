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

Bytes changed(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
}

Bytes cut(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

std::optional<ICMPPacket::Echo> parse(const Bytes& bytes, IPFamily family) {
    return ICMPPacket::parseReply(bytes, family);
}

TEST(ICMPPacketChecksum, FollowsRFC1071AndKeepsEveryCarry) {
    // The worked example of RFC 1071: the sum ddf2 complements to 220d.
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), 0x220d);
    // An odd last byte is the high byte of a word: 1234 + 5600 = 6834.
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x12, 0x34, 0x56}), 0x97cb);
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x01}), 0xfeff);
    // ffff + 0001 carries into bit 16; folded back it is 0001.
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0xff, 0xff, 0x00, 0x01}), 0xfffe);
    EXPECT_EQ(ICMPPacket::checksum(Bytes{}), 0xffff);
    // 70,000 words of ffff: a 32-bit running sum would wrap and lose carries.
    Bytes data(140'000, 0xff);
    EXPECT_EQ(ICMPPacket::checksum(data), 0x0000);
    data.push_back(0x00);
    data.push_back(0x01);
    EXPECT_EQ(ICMPPacket::checksum(data), 0xfffe);
}

TEST(ICMPPacket, LayoutsMatchTheHandBuiltBytes) {
    const auto v4 = ICMPPacket::request(sample, IPFamily::v4);
    EXPECT_EQ(Bytes(v4.begin(), v4.end()), handBuiltRequestV4());
    EXPECT_EQ(ICMPPacket::checksum(v4), 0) << "a correct checksum verifies to 0";
    // IPv6 leaves the checksum to the kernel.
    const auto v6 = ICMPPacket::request(sample, IPFamily::v6);
    EXPECT_EQ(Bytes(v6.begin(), v6.end()), changed(changed(changed(handBuiltRequestV4(), 0, 128), 2, 0), 3, 0));
    const auto reply = ICMPPacket::message(ICMPPacket::echoReplyV4, sample);
    EXPECT_EQ(Bytes(reply.begin(), reply.end()), handBuiltReplyV4());

}

TEST(ICMPPacketReply, ParsesRepliesWithOrWithoutTheirIPHeader) {
    EXPECT_EQ(parse(handBuiltReplyV4(), IPFamily::v4), sample);
    EXPECT_EQ(parse(concat(ipHeader(), handBuiltReplyV4()), IPFamily::v4), sample);
    // A header with options (24 bytes) is skipped as a whole.
    EXPECT_EQ(parse(concat(ipHeader(0x46), handBuiltReplyV4()), IPFamily::v4), sample);
    // The pattern is not checked, and a short (16-byte) reply still parses.
    Bytes shortReply = changed(changed(cut(handBuiltReplyV4(), 16), 2, 0), 3, 0);
    const std::uint16_t sum = ICMPPacket::checksum(shortReply);
    shortReply[2] = static_cast<std::uint8_t>(sum >> 8);
    shortReply[3] = static_cast<std::uint8_t>(sum);
    EXPECT_EQ(parse(shortReply, IPFamily::v4), sample);
    // IPv6 type 129; the kernel verified the real checksum, ours is not looked at.
    EXPECT_EQ(parse(changed(changed(changed(handBuiltRequestV4(), 0, 129), 2, 0xde), 3, 0xad), IPFamily::v6), sample);
}

TEST(ICMPPacketReply, RejectsGarbageTruncatedCorruptedAndForeignData) {
    // The reply with code 1 and the checksum put right again.
    const Bytes coded = changed(changed(handBuiltReplyV4(), 1, 1), 3, 0xf2);
    ASSERT_EQ(ICMPPacket::checksum(coded), 0);
    const Bytes v6Reply = changed(handBuiltRequestV4(), 0, 129);
    const struct {
        const char* what;
        Bytes bytes;
        IPFamily family;
    } cases[] = {
        {"empty", {}, IPFamily::v4},
        {"empty", {}, IPFamily::v6},
        {"one byte", {0x45}, IPFamily::v4},
        {"one byte", {0x45}, IPFamily::v6},
        {"15 zero bytes", Bytes(15, 0), IPFamily::v4},
        {"15 zero bytes", Bytes(15, 0), IPFamily::v6},
        {"garbage", Bytes(64, 0xa5), IPFamily::v4},
        {"garbage", Bytes(64, 0xa5), IPFamily::v6},
        {"IP header below 20 bytes", concat(ipHeader(0x44), handBuiltReplyV4()), IPFamily::v4},
        {"TCP, not ICMP", concat(ipHeader(0x45, 6), handBuiltReplyV4()), IPFamily::v4},
        {"7 bytes after the header", concat(ipHeader(), Bytes(7, 0)), IPFamily::v4},
        {"60-byte header in 40 bytes", cut(ipHeader(0x4f), 40), IPFamily::v4},
        {"8 bytes but no echo header", concat(ipHeader(), cut(handBuiltReplyV4(), 8)), IPFamily::v4},
        {"checksum damaged", changed(handBuiltReplyV4(), 3, 0xf2), IPFamily::v4},
        {"payload damaged", changed(handBuiltReplyV4(), 40, 40 ^ 0x80), IPFamily::v4},
        {"payload damaged behind a header", concat(ipHeader(), changed(handBuiltReplyV4(), 40, 40 ^ 0x80)),
         IPFamily::v4},
        {"code not 0", coded, IPFamily::v4},
        {"IPv6 code not 0", changed(v6Reply, 1, 1), IPFamily::v6},
        {"IPv4 reply type on IPv6", changed(v6Reply, 0, 0), IPFamily::v6},
        {"IPv4 reply as IPv6", handBuiltReplyV4(), IPFamily::v6},
        {"IPv6 reply as IPv4", v6Reply, IPFamily::v4},
        {"a request is no reply", handBuiltRequestV4(), IPFamily::v4},
        {"an IPv6 request is no reply", changed(v6Reply, 0, 128), IPFamily::v6},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.bytes, c.family), std::nullopt) << c.what;
}

}  // namespace
}  // namespace nerivane
