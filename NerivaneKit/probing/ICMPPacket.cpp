#include "NerivaneKit/probing/ICMPPacket.h"

namespace nerivane::ICMPPacket {
namespace {

std::uint16_t read16(std::span<const std::uint8_t> data, std::size_t offset) {
    return static_cast<std::uint16_t>(data[offset] << 8 | data[offset + 1]);
}

std::uint64_t read64(std::span<const std::uint8_t> data, std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = value << 8 | data[offset + i];
    return value;
}

constexpr std::size_t headerSize = 16;  // type .. token

}  // namespace

std::uint16_t checksum(std::span<const std::uint8_t> data) {
    // 64 bits so that no carry is lost however long the data (a 32-bit sum
    // would overflow past 128 KiB).
    std::uint64_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < data.size(); i += 2) sum += static_cast<std::uint64_t>(data[i] << 8 | data[i + 1]);
    if (i < data.size()) sum += static_cast<std::uint64_t>(data[i] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

std::array<std::uint8_t, requestSize> message(std::uint8_t type, const Echo& echo) {
    std::array<std::uint8_t, requestSize> bytes{};
    bytes[0] = type;
    bytes[1] = 0;
    bytes[4] = static_cast<std::uint8_t>(echo.identifier >> 8);
    bytes[5] = static_cast<std::uint8_t>(echo.identifier);
    bytes[6] = static_cast<std::uint8_t>(echo.sequence >> 8);
    bytes[7] = static_cast<std::uint8_t>(echo.sequence);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<std::uint8_t>(echo.token >> (56 - 8 * i));
    for (std::size_t i = headerSize; i < requestSize; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    const std::uint16_t sum = checksum(bytes);
    bytes[2] = static_cast<std::uint8_t>(sum >> 8);
    bytes[3] = static_cast<std::uint8_t>(sum);
    return bytes;
}

std::array<std::uint8_t, requestSize> request(const Echo& echo, IPFamily family) {
    if (family == IPFamily::v4) return message(echoRequestV4, echo);
    auto bytes = message(echoRequestV6, echo);
    bytes[2] = bytes[3] = 0;
    return bytes;
}

std::optional<Echo> parseReply(std::span<const std::uint8_t> data, IPFamily family) {
    if (family == IPFamily::v4 && !data.empty() && (data[0] >> 4) == 4) {
        const std::size_t headerLength = static_cast<std::size_t>(data[0] & 0x0f) * 4;
        if (headerLength < 20 || data.size() < headerLength + 8 || data[9] != 1) return std::nullopt;
        data = data.subspan(headerLength);
    }
    if (data.size() < headerSize) return std::nullopt;
    if (family == IPFamily::v4) {
        if (data[0] != echoReplyV4 || data[1] != 0 || checksum(data) != 0) return std::nullopt;
    } else if (data[0] != echoReplyV6 || data[1] != 0) {
        return std::nullopt;
    }
    return Echo{read16(data, 4), read16(data, 6), read64(data, 8)};
}

std::optional<Echo> parseRequest(std::span<const std::uint8_t> icmp, IPFamily family) {
    if (icmp.size() < headerSize) return std::nullopt;
    const std::uint8_t type = family == IPFamily::v4 ? echoRequestV4 : echoRequestV6;
    if (icmp[0] != type || icmp[1] != 0) return std::nullopt;
    return Echo{read16(icmp, 4), read16(icmp, 6), read64(icmp, 8)};
}

}  // namespace nerivane::ICMPPacket
