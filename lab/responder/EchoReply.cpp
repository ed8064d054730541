#include "lab/responder/EchoReply.h"

#include <algorithm>

#include "NerivaneKit/probing/ICMPPacket.h"

namespace nerivane::lab::EchoReply {
namespace {

constexpr std::size_t echoHeaderSize = 16;  // type .. token
constexpr std::uint8_t protocolICMP = 1;
constexpr std::uint8_t protocolICMPv6 = 58;

void put16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> message(std::span<const std::uint8_t> request, IPFamily family,
                                                 AnswerMode mode) {
    auto echo = ICMPPacket::parseRequest(request, family);
    if (!echo) return std::nullopt;
    if (family == IPFamily::v4 && ICMPPacket::checksum(request) != 0) return std::nullopt;
    if (mode == AnswerMode::foreign) echo->token ^= foreignTokenMask;

    // Type, code, identifier, sequence and token from the core's own layout;
    // the payload after them is echoed unchanged.
    const auto header = ICMPPacket::message(
        family == IPFamily::v4 ? ICMPPacket::echoReplyV4 : ICMPPacket::echoReplyV6, *echo);
    std::vector<std::uint8_t> reply(request.begin(), request.end());
    std::copy_n(header.begin(), echoHeaderSize, reply.begin());
    reply[2] = reply[3] = 0;
    if (family == IPFamily::v4) {
        const auto sum = ICMPPacket::checksum(reply);
        put16(reply, 2, mode == AnswerMode::corrupt ? corrupted(sum) : sum);
    }
    return reply;
}

std::uint16_t corrupted(std::uint16_t checksum) {
    return static_cast<std::uint16_t>(checksum ^ 0x5a5a);
}

std::uint16_t ipv6Checksum(const ProbeAddress& source, const ProbeAddress& destination,
                           std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> bytes(40 + message.size());
    std::copy_n(source.bytes.begin(), 16, bytes.begin());
    std::copy_n(destination.bytes.begin(), 16, bytes.begin() + 16);
    const auto length = static_cast<std::uint32_t>(message.size());
    bytes[32] = static_cast<std::uint8_t>(length >> 24);
    bytes[33] = static_cast<std::uint8_t>(length >> 16);
    bytes[34] = static_cast<std::uint8_t>(length >> 8);
    bytes[35] = static_cast<std::uint8_t>(length);
    bytes[39] = protocolICMPv6;
    std::copy(message.begin(), message.end(), bytes.begin() + 40);
    if (message.size() >= 4) bytes[42] = bytes[43] = 0;
    return ICMPPacket::checksum(bytes);
}

std::optional<IPPacket> parseIP(std::span<const std::uint8_t> packet) {
    if (packet.empty()) return std::nullopt;
    IPPacket parsed;
    const int version = packet[0] >> 4;
    if (version == 4) {
        if (packet.size() < 20) return std::nullopt;
        const std::size_t headerLength = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
        const std::size_t totalLength = static_cast<std::size_t>(packet[2] << 8 | packet[3]);
        if (headerLength < 20 || totalLength < headerLength || totalLength > packet.size()) return std::nullopt;
        parsed.source = ProbeAddress::v4({packet[12], packet[13], packet[14], packet[15]});
        parsed.destination = ProbeAddress::v4({packet[16], packet[17], packet[18], packet[19]});
        parsed.protocol = packet[9];
        parsed.payload = packet.subspan(headerLength, totalLength - headerLength);
        return parsed;
    }
    if (version == 6) {
        if (packet.size() < 40) return std::nullopt;
        const std::size_t payloadLength = static_cast<std::size_t>(packet[4] << 8 | packet[5]);
        if (payloadLength > packet.size() - 40) return std::nullopt;
        std::array<std::uint8_t, 16> source{};
        std::array<std::uint8_t, 16> destination{};
        std::copy_n(packet.begin() + 8, 16, source.begin());
        std::copy_n(packet.begin() + 24, 16, destination.begin());
        parsed.source = ProbeAddress::v6(source);
        parsed.destination = ProbeAddress::v6(destination);
        parsed.protocol = packet[6];
        parsed.payload = packet.subspan(40, payloadLength);
        return parsed;
    }
    return std::nullopt;
}

std::vector<std::uint8_t> ipv4Packet(const ProbeAddress& source, const ProbeAddress& destination,
                                     std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> packet(20 + message.size());
    packet[0] = 0x45;
    put16(packet, 2, static_cast<std::uint16_t>(packet.size()));
    packet[6] = 0x40;  // don't fragment
    packet[8] = 64;
    packet[9] = protocolICMP;
    std::copy_n(source.bytes.begin(), 4, packet.begin() + 12);
    std::copy_n(destination.bytes.begin(), 4, packet.begin() + 16);
    put16(packet, 10, ICMPPacket::checksum(std::span(packet).first(20)));
    std::copy(message.begin(), message.end(), packet.begin() + 20);
    return packet;
}

std::vector<std::uint8_t> ipv6Packet(const ProbeAddress& source, const ProbeAddress& destination,
                                     std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> packet(40 + message.size());
    packet[0] = 0x60;
    put16(packet, 4, static_cast<std::uint16_t>(message.size()));
    packet[6] = protocolICMPv6;
    packet[7] = 64;
    std::copy_n(source.bytes.begin(), 16, packet.begin() + 8);
    std::copy_n(destination.bytes.begin(), 16, packet.begin() + 24);
    std::copy(message.begin(), message.end(), packet.begin() + 40);
    return packet;
}

}  // namespace nerivane::lab::EchoReply
