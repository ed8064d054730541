#include <gtest/gtest.h>

#include <numeric>

#include "NerivaneKit/probing/ICMPPacket.h"
#include "lab/responder/EchoReply.h"

namespace nerivane::lab {
namespace {

const ICMPPacket::Echo echo{0x1234, 0x0102, 0x1122334455667788ULL};

std::vector<std::uint8_t> bytes(std::span<const std::uint8_t> span) {
    return {span.begin(), span.end()};
}

// A request as iputils ping sends it: 8 header bytes, then 56 bytes of its own.
std::vector<std::uint8_t> pingRequest(std::uint8_t type, std::size_t size) {
    std::vector<std::uint8_t> request(size);
    std::iota(request.begin(), request.end(), std::uint8_t{100});
    request[0] = type;
    request[1] = 0;
    request[2] = request[3] = 0;
    if (type == ICMPPacket::echoRequestV4) {
        const auto sum = ICMPPacket::checksum(request);
        request[2] = static_cast<std::uint8_t>(sum >> 8);
        request[3] = static_cast<std::uint8_t>(sum);
    }
    return request;
}

// The lab tests see the prober's own requests answered; other pingers send
// payloads of any size, odd ones too, and check every byte.
TEST(EchoReply, EchoesEveryPayloadByteOfOtherPingers) {
    for (const std::size_t size : {std::size_t{16}, std::size_t{17}, std::size_t{64}, std::size_t{1400}}) {
        const auto request = pingRequest(ICMPPacket::echoRequestV4, size);
        const auto reply = EchoReply::message(request, IPFamily::v4, AnswerMode::duplicate);
        ASSERT_TRUE(reply) << size;
        ASSERT_EQ(reply->size(), size);
        EXPECT_EQ((*reply)[0], ICMPPacket::echoReplyV4);
        EXPECT_TRUE(std::equal(request.begin() + 4, request.end(), reply->begin() + 4)) << size;
        EXPECT_EQ(ICMPPacket::checksum(*reply), 0) << size;
    }
}

TEST(EchoReply, CorruptRepliesFailTheChecksumAndNothingElse) {
    const auto request = ICMPPacket::request(echo, IPFamily::v4);
    const auto good = *EchoReply::message(request, IPFamily::v4, AnswerMode::answer);
    const auto bad = *EchoReply::message(request, IPFamily::v4, AnswerMode::corrupt);
    EXPECT_NE(ICMPPacket::checksum(bad), 0);
    EXPECT_EQ(ICMPPacket::parseReply(bad, IPFamily::v4), std::nullopt);
    EXPECT_TRUE(std::equal(good.begin() + 4, good.end(), bad.begin() + 4));
    // One's complement has two zeros: for a message whose right checksum is
    // 0x0000, 0xffff would verify too. The corrupted one must not.
    const auto withChecksum = [](std::uint16_t sum) {
        return std::vector<std::uint8_t>{0xff, 0xff, static_cast<std::uint8_t>(sum >> 8),
                                         static_cast<std::uint8_t>(sum)};
    };
    ASSERT_EQ(ICMPPacket::checksum(withChecksum(0)), 0);
    ASSERT_EQ(ICMPPacket::checksum(withChecksum(0xffff)), 0);
    EXPECT_NE(ICMPPacket::checksum(withChecksum(EchoReply::corrupted(0))), 0);
}

TEST(EchoReply, RefusesWhatIsNoEchoRequest) {
    const auto v4 = ICMPPacket::request(echo, IPFamily::v4);
    EXPECT_FALSE(EchoReply::message(std::span(v4).first(15), IPFamily::v4, AnswerMode::answer));
    EXPECT_FALSE(EchoReply::message({}, IPFamily::v4, AnswerMode::answer));
    auto badSum = bytes(v4);
    badSum[20] ^= 1;
    EXPECT_FALSE(EchoReply::message(badSum, IPFamily::v4, AnswerMode::answer));
    auto reply = bytes(ICMPPacket::message(ICMPPacket::echoReplyV4, echo));
    EXPECT_FALSE(EchoReply::message(reply, IPFamily::v4, AnswerMode::answer));
    auto code = pingRequest(ICMPPacket::echoRequestV6, 64);
    code[1] = 1;
    EXPECT_FALSE(EchoReply::message(code, IPFamily::v6, AnswerMode::answer));
    EXPECT_FALSE(EchoReply::message(v4, IPFamily::v6, AnswerMode::answer));
}

// Whole packets round trip through the tun device in the lab; here, what
// the parser must refuse.
TEST(EchoReply, RefusesTruncatedOrInconsistentIPHeaders) {
    const auto message = bytes(ICMPPacket::message(ICMPPacket::echoReplyV4, echo));
    const auto packet = EchoReply::ipv4Packet(*ProbeAddress::parse("1.1.1.1"), *ProbeAddress::parse("10.0.0.1"), message);
    for (std::size_t size = 0; size < packet.size(); ++size)
        EXPECT_FALSE(EchoReply::parseIP(std::span(packet).first(size))) << size;
    auto padded = packet;
    padded.push_back(0xee);  // link padding past the stated length is dropped
    const auto parsed = EchoReply::parseIP(padded);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(bytes(parsed->payload), message);
    auto shortHeader = packet;
    shortHeader[0] = 0x44;  // 16-byte header
    EXPECT_FALSE(EchoReply::parseIP(shortHeader));
    auto longHeader = packet;
    longHeader[0] = 0x4f;  // 60-byte header, longer than the stated total
    longHeader[2] = 0;
    longHeader[3] = 40;
    EXPECT_FALSE(EchoReply::parseIP(longHeader));
    auto otherVersion = packet;
    otherVersion[0] = 0x55;
    EXPECT_FALSE(EchoReply::parseIP(otherVersion));
    const auto packet6 =
        EchoReply::ipv6Packet(*ProbeAddress::parse("::1"), *ProbeAddress::parse("::1"), message);
    EXPECT_FALSE(EchoReply::parseIP(std::span(packet6).first(packet6.size() - 1)));
    EXPECT_FALSE(EchoReply::parseIP(std::span(packet6).first(39)));
}

}  // namespace
}  // namespace nerivane::lab
