#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>

#include <gtest/gtest.h>

#include "NerivaneKit/probing/ProbeAddress.h"

namespace nerivane {
namespace {

std::uint32_t loopbackIndex() {
    const unsigned index = if_nametoindex("lo");
    EXPECT_NE(index, 0u) << "no loopback interface named lo";
    return index;
}

TEST(ProbeAddress, TextsAreCanonicalAndParseBackToTheSameAddress) {
    const auto lo = loopbackIndex();
    const std::vector<std::pair<ProbeAddress, std::string>> addresses{
        {ProbeAddress::v4({192, 0, 2, 17}), "192.0.2.17"},
        {ProbeAddress::v4({0, 0, 0, 0}), "0.0.0.0"},
        {ProbeAddress::v4({255, 255, 255, 255}), "255.255.255.255"},
        {ProbeAddress::v6({0x26, 0x06, 0x47, 0, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x11}), "2606:4700:4700::1111"},
        {ProbeAddress::v6({}), "::"},
        {ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
        {ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4}), "::ffff:1.2.3.4"},
        {ProbeAddress::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 0, 0xab, 0xcd}, lo), "fe80::1234:0:0:abcd%lo"},
        {ProbeAddress::v6({0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, lo), "ff02::1%lo"},
        // The resolver names scopes only for link-local addresses, but every
        // printed text has to parse back (history stores the text).
        {ProbeAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, lo), "2001:db8::1%lo"},
    };
    for (const auto& [address, text] : addresses) {
        EXPECT_EQ(address.text(), text);
        EXPECT_EQ(ProbeAddress::parse(text), address) << text;
    }
    EXPECT_EQ(ProbeAddress::parse("2606:4700:4700:0:0:0:0:1111")->text(), "2606:4700:4700::1111");
    // Found by fuzzing: a numeric scope parses, and its printed form must too.
    EXPECT_EQ(ProbeAddress::parse("2001:db8::1%" + std::to_string(lo)), addresses.back().first);
    // An index that names no interface prints without a scope, and a stray
    // index on an IPv4 value never reaches the text.
    EXPECT_EQ(ProbeAddress::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 999'999).text(), "fe80::1");
    auto v4 = ProbeAddress::v4({10, 0, 0, 1});
    v4.scopeID = lo;
    EXPECT_EQ(v4.text(), "10.0.0.1");
}

TEST(ProbeAddress, RefusesEverythingButLiterals) {
    for (const std::string& bad : std::vector<std::string>{"", "localhost", "fe80::1%nosuchif", "fe80::1%", "%lo",
                                  "1.2.3.4%lo", "fe80::1%1%lo", "1.2.3.4.5", "::g", "1.2.3.4 ", " ::1",
                                  "256.0.0.1", std::string("1.2.3.4\0junk", 12)})
        EXPECT_FALSE(ProbeAddress::parse(bad)) << bad;
}

TEST(ProbeAddress, SocketAddressesHaveTheKernelLayoutBothWays) {
    socklen_t length = 0;
    const auto v4 = ProbeAddress::v4({127, 0, 0, 1}).socketAddress(443, length);
    ASSERT_EQ(length, 16u);
    sockaddr_in in{};
    std::memcpy(&in, &v4, sizeof in);
    EXPECT_EQ(ntohs(in.sin_port), 443);
    EXPECT_EQ(ntohl(in.sin_addr.s_addr), 0x7f000001u);

    const auto address = *ProbeAddress::parse("fe80::abcd%lo");
    const auto v6 = address.socketAddress(0, length);
    ASSERT_EQ(length, 28u);
    sockaddr_in6 in6{};
    std::memcpy(&in6, &v6, sizeof in6);
    EXPECT_EQ(in6.sin6_scope_id, loopbackIndex());
    EXPECT_EQ(std::memcmp(&in6.sin6_addr, address.bytes.data(), 16), 0);

    // And back again, as a received source address is read.
    EXPECT_EQ(ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&v6), length), address);
    EXPECT_EQ(ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&v4), 16),
              ProbeAddress::v4({127, 0, 0, 1}));
    // Short buffers and other families are not addresses.
    EXPECT_FALSE(ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&v6), 16));
    sockaddr_storage local{};
    local.ss_family = AF_UNIX;
    EXPECT_FALSE(ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&local), sizeof local));
}

}  // namespace
}  // namespace nerivane
