#include <gtest/gtest.h>

#include <vector>

#include "NerivaneKit/probing/ICMPPacket.h"

namespace nerivane {
namespace {

using Bytes = std::vector<std::uint8_t>;
const ICMPPacket::Echo sample{0x1234, 0x0001, 0x0102030405060708};

// The reply to `sample`, by hand: the header words 0000 + 1234 + 0001 + 0102 +
// 0304 + 0506 + 0708 = 2249 and the 24 pattern words 1011 .. 3e3f = 3abc0 add
// up to 3ce09, folded ce0c, complemented 31f3. A request adds 0800: 29f3.
Bytes handBuiltReplyV4() {
    Bytes bytes{0x00, 0x00, 0x31, 0xf3, 0x12, 0x34, 0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    for (int i = 16; i < 64; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    return bytes;
}
Bytes with(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
}
Bytes ipHeader(std::uint8_t versionAndLength = 0x45, std::uint8_t protocol = 1, Bytes then = handBuiltReplyV4()) {
    Bytes header(std::max<std::size_t>(static_cast<std::size_t>(versionAndLength & 0x0f) * 4, 10), 0);
    header[0] = versionAndLength;
    header[9] = protocol;
    header.insert(header.end(), then.begin(), then.end());
    return header;
}

TEST(ICMPPacket, ChecksumFollowsRFC1071AndKeepsEveryCarry) {
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), 0x220d);  // RFC 1071
    EXPECT_EQ(ICMPPacket::checksum(Bytes{0x12, 0x34, 0x56}), 0x97cb) << "an odd last byte is a high byte";
    // 70,000 words of ffff: a 32-bit running sum would wrap and lose carries.
    Bytes data(140'000, 0xff);
    data.push_back(0x00);
    data.push_back(0x01);
    EXPECT_EQ(ICMPPacket::checksum(data), 0xfffe);
}

TEST(ICMPPacket, RepliesParseWithOrWithoutTheirIPHeaderAndGarbageTruncatedCorruptedOrForeignOnesNot) {
    EXPECT_EQ(ICMPPacket::parseReply(handBuiltReplyV4(), IPFamily::v4), sample);
    EXPECT_EQ(ICMPPacket::parseReply(ipHeader(0x46), IPFamily::v4), sample) << "IP options are skipped";
    // IPv6 type 129; the kernel verified the real checksum, ours is not looked at.
    EXPECT_EQ(ICMPPacket::parseReply(with(with(handBuiltReplyV4(), 0, 129), 2, 0xde), IPFamily::v6), sample);
    const Bytes longHeader = ipHeader(0x4f);
    const struct {
        const char* what;
        Bytes bytes;
        IPFamily family;
    } cases[] = {
        {"empty", {}, IPFamily::v4},
        {"15 bytes", Bytes(15, 0), IPFamily::v6},
        {"garbage", Bytes(64, 0xa5), IPFamily::v4},
        {"IP header below 20 bytes", ipHeader(0x44), IPFamily::v4},
        {"TCP, not ICMP", ipHeader(0x45, 6), IPFamily::v4},
        {"7 bytes after the header", ipHeader(0x45, 1, Bytes(7, 0)), IPFamily::v4},
        {"60-byte header in 40 bytes", Bytes(longHeader.begin(), longHeader.begin() + 40), IPFamily::v4},
        {"checksum damaged", with(handBuiltReplyV4(), 3, 0xf2), IPFamily::v4},
        {"payload damaged behind a header", ipHeader(0x45, 1, with(handBuiltReplyV4(), 40, 0xa8)), IPFamily::v4},
        {"code not 0", with(with(handBuiltReplyV4(), 1, 1), 3, 0xf2), IPFamily::v4},
        {"IPv4 reply as IPv6", handBuiltReplyV4(), IPFamily::v6},
        {"a request is no reply", with(with(handBuiltReplyV4(), 0, 8), 2, 0x29), IPFamily::v4},
    };
    for (const auto& c : cases) EXPECT_EQ(ICMPPacket::parseReply(c.bytes, c.family), std::nullopt) << c.what;
}

}  // namespace
}  // namespace nerivane
