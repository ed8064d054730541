#include <gtest/gtest.h>

#include <numeric>

#include "NerivaneKit/probing/ICMPPacket.h"
#include "lab/responder/EchoReply.h"

namespace nerivane::lab {
namespace {

using Bytes = std::vector<std::uint8_t>;
const ICMPPacket::Echo echo{0x1234, 0x0102, 0x1122334455667788ULL};

// A request as other pingers send it: any payload size, odd ones too.
Bytes pingRequest(std::uint8_t type, std::size_t size) {
    Bytes request(size);
    std::iota(request.begin(), request.end(), std::uint8_t{100});
    request[0] = type;
    request[1] = request[2] = request[3] = 0;
    const auto sum = type == ICMPPacket::echoRequestV4 ? ICMPPacket::checksum(request) : 0;
    request[2] = static_cast<std::uint8_t>(sum >> 8);
    request[3] = static_cast<std::uint8_t>(sum);
    return request;
}

TEST(EchoReply, EchoesEveryPayloadByteAndCorruptsOnlyTheChecksum) {
    for (const std::size_t size : {std::size_t{16}, std::size_t{17}, std::size_t{1400}}) {
        const auto request = pingRequest(ICMPPacket::echoRequestV4, size);
        const auto good = EchoReply::message(request, IPFamily::v4, AnswerMode::duplicate);
        const auto bad = EchoReply::message(request, IPFamily::v4, AnswerMode::corrupt);
        ASSERT_TRUE(good && bad) << size;
        EXPECT_EQ((*good)[0], ICMPPacket::echoReplyV4);
        EXPECT_TRUE(std::equal(request.begin() + 4, request.end(), good->begin() + 4, good->end())) << size;
        EXPECT_EQ(ICMPPacket::checksum(*good), 0) << size;
        EXPECT_NE(ICMPPacket::checksum(*bad), 0) << size;
        EXPECT_TRUE(std::equal(good->begin() + 4, good->end(), bad->begin() + 4, bad->end())) << size;
    }
    // One's complement has two zeros: for a message whose right checksum is
    // 0x0000, 0xffff would verify too. The corrupted one must not.
    const auto withChecksum = [](std::uint16_t sum) {
        return Bytes{0xff, 0xff, static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)};
    };
    ASSERT_EQ(ICMPPacket::checksum(withChecksum(0xffff)), 0);
    EXPECT_NE(ICMPPacket::checksum(withChecksum(EchoReply::corrupted(0))), 0);
}

TEST(EchoReply, RefusesWhatIsNoEchoRequestOrNoWholeIPPacket) {
    const auto v4 = ICMPPacket::request(echo, IPFamily::v4);
    auto badSum = Bytes(v4.begin(), v4.end()), coded = pingRequest(ICMPPacket::echoRequestV6, 64);
    badSum[20] ^= 1;
    coded[1] = 1;
    const auto reply = ICMPPacket::message(ICMPPacket::echoReplyV4, echo);
    for (const auto& [request, family] : std::vector<std::pair<Bytes, IPFamily>>{
             {Bytes(v4.begin(), v4.begin() + 15), IPFamily::v4}, {{}, IPFamily::v4}, {badSum, IPFamily::v4},
             {Bytes(reply.begin(), reply.end()), IPFamily::v4}, {coded, IPFamily::v6}, {Bytes(v4.begin(), v4.end()), IPFamily::v6}})
        EXPECT_FALSE(EchoReply::message(request, family, AnswerMode::answer)) << request.size();

    const Bytes message(reply.begin(), reply.end());
    const auto packet = EchoReply::ipv4Packet(*ProbeAddress::parse("1.1.1.1"), *ProbeAddress::parse("10.0.0.1"), message);
    for (std::size_t size = 0; size < packet.size(); ++size)
        EXPECT_FALSE(EchoReply::parseIP(std::span(packet).first(size))) << size;
    auto padded = packet;
    padded.push_back(0xee);  // link padding past the stated length is dropped
    const auto parsed = EchoReply::parseIP(padded);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(Bytes(parsed->payload.begin(), parsed->payload.end()), message);
    // A 16-byte header, version 5, a 60-byte header longer than the stated total.
    using Changes = std::vector<std::pair<std::size_t, std::uint8_t>>;
    for (const auto& changes : {Changes{{0, 0x44}}, Changes{{0, 0x55}}, Changes{{0, 0x4f}, {2, 0}, {3, 40}}}) {
        auto broken = packet;
        for (const auto& [at, value] : changes) broken[at] = value;
        EXPECT_FALSE(EchoReply::parseIP(broken)) << int(broken[0]);
    }
}

}  // namespace
}  // namespace nerivane::lab
