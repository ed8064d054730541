// Feeds arbitrary datagrams to the echo parsers. Replies come from the
// network, so any byte sequence must be rejected or parsed without reading
// outside the buffer; a parsed message must also hold what was read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "NerivaneKit/probing/ICMPPacket.h"

namespace {

using nerivane::IPFamily;
namespace ICMPPacket = nerivane::ICMPPacket;

void require(bool condition) {
    if (!condition) std::abort();
}

std::uint16_t read16(std::span<const std::uint8_t> data, std::size_t offset) {
    return static_cast<std::uint16_t>(data[offset] << 8 | data[offset + 1]);
}

// A parsed echo must carry the identifier and sequence of the ICMP header it
// came from; the header starts after the IP header when one is present.
void checkEcho(const ICMPPacket::Echo& echo, std::span<const std::uint8_t> icmp) {
    require(icmp.size() >= 16);
    require(echo.identifier == read16(icmp, 4));
    require(echo.sequence == read16(icmp, 6));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Copy into an exactly sized heap buffer so that any overread is caught.
    auto* copy = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    for (std::size_t i = 0; i < size; ++i) copy[i] = data[i];
    const std::span<const std::uint8_t> bytes(copy, size);

    if (auto echo = ICMPPacket::parseReply(bytes, IPFamily::v4)) {
        std::span<const std::uint8_t> icmp = bytes;
        if ((bytes[0] >> 4) == 4) icmp = bytes.subspan(static_cast<std::size_t>(bytes[0] & 0x0f) * 4);
        checkEcho(*echo, icmp);
        require(icmp[0] == ICMPPacket::echoReplyV4 && icmp[1] == 0);
        require(ICMPPacket::checksum(icmp) == 0);
    }
    if (auto echo = ICMPPacket::parseReply(bytes, IPFamily::v6)) {
        checkEcho(*echo, bytes);
        require(bytes[0] == ICMPPacket::echoReplyV6 && bytes[1] == 0);
    }
    for (IPFamily family : {IPFamily::v4, IPFamily::v6}) {
        if (auto echo = ICMPPacket::parseRequest(bytes, family)) {
            checkEcho(*echo, bytes);
            // What we would send back for this request must parse as its reply.
            const auto reply = ICMPPacket::message(
                family == IPFamily::v4 ? ICMPPacket::echoReplyV4 : ICMPPacket::echoReplyV6, *echo);
            require(ICMPPacket::parseReply(reply, family) == echo);
        }
    }

    std::free(copy);
    return 0;
}
