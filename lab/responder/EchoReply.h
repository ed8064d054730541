// Building the lab responder's answers from the echo requests it receives:
// the reply echoes the request (identifier, sequence, token and every payload
// byte, so any pinger can time it) with the changes a profile's mode asks for.
// Also the IP framing the responder needs for raw IPv4 input, the tun device
// and hand-made IPv6 packets. Pure functions, no state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "NerivaneKit/net/ProbeAddress.h"
#include "lab/responder/Profile.h"

namespace nerivane::lab::EchoReply {

// A foreign reply carries the request's token with these bits flipped.
inline constexpr std::uint64_t foreignTokenMask = 0x5a5a'5a5a'5a5a'5a5aULL;

// The reply message for an echo request (ICMP or ICMPv6 message without IP
// header), or none when the bytes are no well-formed echo request (for IPv4
// that includes a wrong checksum). IPv4 replies carry their checksum, wrong
// on purpose in corrupt mode. IPv6 replies leave it 0 for the kernel to fill,
// except in corrupt mode, where the caller must frame the packet itself (see
// ipv6Checksum): the kernel would repair any checksum given to it.
std::optional<std::vector<std::uint8_t>> message(std::span<const std::uint8_t> request, IPFamily family, AnswerMode mode);

// Turns a correct checksum into one that never verifies: one's complement
// arithmetic has two zeros, so merely inverting could yield an equivalent one.
std::uint16_t corrupted(std::uint16_t checksum);

// The ICMPv6 checksum over the pseudo header (RFC 8200 section 8.1) and the
// message, whose checksum field is taken as 0.
std::uint16_t ipv6Checksum(const ProbeAddress& source, const ProbeAddress& destination,
                           std::span<const std::uint8_t> message);

// One IP packet as seen on a raw IPv4 socket or a tun device.
struct IPPacket {
    ProbeAddress source;
    ProbeAddress destination;
    std::uint8_t protocol = 0;  // next header for IPv6; extension headers are not followed
    std::span<const std::uint8_t> payload;
};

// Reads an IPv4 or IPv6 header; none when the bytes are too short or the
// lengths do not fit. Trailing bytes past the stated length are dropped.
std::optional<IPPacket> parseIP(std::span<const std::uint8_t> packet);

// Whole packets around an ICMP (protocol 1) or ICMPv6 (next header 58)
// message, with TTL/hop limit 64 and, for IPv4, the header checksum.
std::vector<std::uint8_t> ipv4Packet(const ProbeAddress& source, const ProbeAddress& destination,
                                     std::span<const std::uint8_t> message);
std::vector<std::uint8_t> ipv6Packet(const ProbeAddress& source, const ProbeAddress& destination,
                                     std::span<const std::uint8_t> message);

}  // namespace nerivane::lab::EchoReply
