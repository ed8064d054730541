// Building and parsing ICMP and ICMPv6 echo messages (RFC 792, RFC 4443).
// A request is 64 bytes: type, code, checksum, identifier, sequence, a 64-bit
// token that ties a reply to one request, and the pattern 16..63.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "NerivaneKit/net/IPFamily.h"

namespace nerivane::ICMPPacket {

inline constexpr std::size_t requestSize = 64;
inline constexpr std::uint8_t echoRequestV4 = 8;
inline constexpr std::uint8_t echoReplyV4 = 0;
inline constexpr std::uint8_t echoRequestV6 = 128;
inline constexpr std::uint8_t echoReplyV6 = 129;

struct Echo {
    std::uint16_t identifier = 0;
    std::uint16_t sequence = 0;
    std::uint64_t token = 0;
    bool operator==(const Echo&) const = default;
};

// The Internet checksum (RFC 1071): big-endian 16-bit words, an odd last byte
// as the high byte of a word, carries folded, one's complement.
std::uint16_t checksum(std::span<const std::uint8_t> data);

// An echo request. IPv4 carries its checksum; for IPv6 the field stays 0
// because the kernel fills the ICMPv6 checksum.
std::array<std::uint8_t, requestSize> request(const Echo& echo, IPFamily family);

// An echo message of the given type with the checksum computed (for IPv4 and
// for tools that build replies themselves).
std::array<std::uint8_t, requestSize> message(std::uint8_t type, const Echo& echo);

// Parses an echo reply. IPv4 data may start with the IP header (raw sockets)
// or without it (ping sockets); both parse alike. Anything malformed, of
// another type, or (IPv4) with a bad checksum gives none.
std::optional<Echo> parseReply(std::span<const std::uint8_t> data, IPFamily family);

// Parses an echo request of either family, without IP header; the lab's
// responder answers these. Checksums are not verified (IPv6 needs the pseudo
// header, which the kernel checks for us).
std::optional<Echo> parseRequest(std::span<const std::uint8_t> icmp, IPFamily family);

}  // namespace nerivane::ICMPPacket
