#include <net/if.h>

#include <gtest/gtest.h>

#include "NerivaneKit/net/ProbeAddress.h"

namespace nerivane {
namespace {

const std::uint32_t lo = if_nametoindex("lo");

TEST(ProbeAddress, TextsAreCanonicalAndParseBackToTheSameAddress) {
    ASSERT_NE(lo, 0u) << "no loopback interface named lo";
    const std::vector<std::pair<ProbeAddress, std::string>> addresses{
        {ProbeAddress::v4({192, 0, 2, 17}), "192.0.2.17"},
        {ProbeAddress::v4({255, 255, 255, 255}), "255.255.255.255"},
        {ProbeAddress::v6({0x26, 0x06, 0x47, 0, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x11}), "2606:4700:4700::1111"},
        {ProbeAddress::v6({}), "::"},
        {ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4}), "::ffff:1.2.3.4"},
        {ProbeAddress::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 0, 0xab, 0xcd}, lo), "fe80::1234:0:0:abcd%lo"},
        {ProbeAddress::v6({0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, lo), "ff02::1%lo"},
        // glibc names scopes only of link-local addresses, but every printed
        // text has to parse back (history stores the text).
        {ProbeAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, lo), "2001:db8::1%lo"},
    };
    for (const auto& [address, text] : addresses) {
        EXPECT_EQ(address.text(), text);
        EXPECT_EQ(ProbeAddress::parse(text), address) << text;
        // And through the kernel's socket address, as a received source is read.
        socklen_t length = 0;
        const auto socketAddress = address.socketAddress(443, length);
        EXPECT_EQ(ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&socketAddress), length), address);
        EXPECT_FALSE(ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&socketAddress), length - 1));
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
    sockaddr_storage local{};
    local.ss_family = AF_UNIX;
    EXPECT_FALSE(ProbeAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&local), sizeof local));
}

}  // namespace
}  // namespace nerivane
