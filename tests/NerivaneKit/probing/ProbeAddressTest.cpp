#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NerivaneKit/probing/ProbeAddress.h"

namespace nerivane {
namespace {

using ::testing::Contains;
using ::testing::Each;

std::uint32_t loopbackIndex() {
    const unsigned index = if_nametoindex("lo");
    EXPECT_NE(index, 0u) << "no loopback interface named lo";
    return index;
}

TEST(ProbeAddress, ParsesLiteralsAndPrintsThemBack) {
    const auto v4 = ProbeAddress::parse("192.0.2.17");
    ASSERT_TRUE(v4);
    EXPECT_EQ(*v4, ProbeAddress::v4({192, 0, 2, 17}));
    EXPECT_EQ(v4->text(), "192.0.2.17");

    const auto v6 = ProbeAddress::parse("2606:4700:4700::1111");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->family, IPFamily::v6);
    EXPECT_EQ(v6->scopeID, 0u);
    EXPECT_EQ(v6->bytes[0], 0x26);
    EXPECT_EQ(v6->bytes[15], 0x11);
    // Printed in the system's canonical form, without "%" for scope 0.
    EXPECT_EQ(ProbeAddress::parse("2606:4700:4700:0:0:0:0:1111")->text(), "2606:4700:4700::1111");
    EXPECT_EQ(ProbeAddress::parse("::1")->text(), "::1");
}

TEST(ProbeAddress, ScopedAddressesCarryTheInterfaceIndexBothWays) {
    const auto index = loopbackIndex();
    const auto linkLocal = ProbeAddress::parse("fe80::1%lo");
    ASSERT_TRUE(linkLocal);
    EXPECT_EQ(linkLocal->family, IPFamily::v6);
    EXPECT_EQ(linkLocal->scopeID, index);
    EXPECT_EQ(linkLocal->text(), "fe80::1%lo");

    // The resolver names scopes only for link-local addresses, but every
    // printed text has to parse back (history stores the text).
    const auto global = ProbeAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, index);
    EXPECT_EQ(global.text(), "2001:db8::1%lo");
    EXPECT_EQ(ProbeAddress::parse(global.text()), global);
    // Found by fuzzing: a numeric scope parses, and its printed form must too.
    const auto numeric = ProbeAddress::parse("2001:db8::1%" + std::to_string(index));
    EXPECT_EQ(numeric, global);
    EXPECT_EQ(ProbeAddress::parse(numeric->text()), global);

    // An index that names no interface prints without a scope.
    EXPECT_EQ(ProbeAddress::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 999'999).text(), "fe80::1");
    // A stray index on an IPv4 value never reaches the text.
    auto v4 = ProbeAddress::v4({10, 0, 0, 1});
    v4.scopeID = index;
    EXPECT_EQ(v4.text(), "10.0.0.1");
}

TEST(ProbeAddress, TextsOfAddressesParseBackToTheSameAddress) {
    const auto index = loopbackIndex();
    const std::vector<ProbeAddress> addresses{
        ProbeAddress::v4({0, 0, 0, 0}),
        ProbeAddress::v4({255, 255, 255, 255}),
        ProbeAddress::v6({}),
        ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4}),
        ProbeAddress::v6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 0, 0xab, 0xcd}, index),
        ProbeAddress::v6({0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, index),
    };
    for (const auto& address : addresses) {
        const auto parsed = ProbeAddress::parse(address.text());
        ASSERT_TRUE(parsed) << address.text();
        EXPECT_EQ(*parsed, address) << address.text();
    }
}

TEST(ProbeAddress, RefusesEverythingButLiterals) {
    for (const std::string& bad : std::vector<std::string>{"", "localhost", "fe80::1%nosuchif", "fe80::1%", "%lo",
                                  "1.2.3.4%lo", "fe80::1%1%lo", "1.2.3.4.5", "::g", "1.2.3.4 ", " ::1",
                                  "256.0.0.1", std::string("1.2.3.4\0junk", 12)})
        EXPECT_FALSE(ProbeAddress::parse(bad)) << bad;
}

TEST(ProbeAddress, SocketAddressesHaveTheKernelLayout) {
    socklen_t length = 0;
    const auto v4 = ProbeAddress::v4({127, 0, 0, 1}).socketAddress(443, length);
    ASSERT_EQ(length, 16u);
    sockaddr_in in{};
    std::memcpy(&in, &v4, sizeof in);
    EXPECT_EQ(in.sin_family, AF_INET);
    EXPECT_EQ(ntohs(in.sin_port), 443);
    EXPECT_EQ(ntohl(in.sin_addr.s_addr), 0x7f000001u);
    EXPECT_THAT(in.sin_zero, Each(0));

    const auto index = loopbackIndex();
    const auto address = *ProbeAddress::parse("fe80::abcd%lo");
    const auto v6 = address.socketAddress(0, length);
    ASSERT_EQ(length, 28u);
    sockaddr_in6 in6{};
    std::memcpy(&in6, &v6, sizeof in6);
    EXPECT_EQ(in6.sin6_family, AF_INET6);
    EXPECT_EQ(in6.sin6_port, 0);
    EXPECT_EQ(in6.sin6_flowinfo, 0u);
    EXPECT_EQ(in6.sin6_scope_id, index);
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

TEST(ProbeAddress, ResolvesNumericHostsAndLocalhostWithoutDuplicates) {
    EXPECT_EQ(ProbeAddress::resolve("127.0.0.1"), std::vector{ProbeAddress::v4({127, 0, 0, 1})});
    EXPECT_EQ(ProbeAddress::resolve("::1"), std::vector{*ProbeAddress::parse("::1")});
    EXPECT_TRUE(ProbeAddress::resolve("").empty());

    // localhost comes from the hosts file; it may list an address once per
    // protocol, but each address appears in the result once.
    const auto local = ProbeAddress::resolve("localhost");
    ASSERT_FALSE(local.empty());
    EXPECT_THAT(local, Contains(ProbeAddress::v4({127, 0, 0, 1})));
    for (std::size_t i = 0; i < local.size(); ++i)
        for (std::size_t j = i + 1; j < local.size(); ++j) EXPECT_NE(local[i], local[j]);
}

}  // namespace
}  // namespace nerivane
