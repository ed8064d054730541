#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NerivaneKit/probing/TargetPlan.h"

namespace nerivane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

ProbeAddress at(const std::string& literal) {
    auto address = ProbeAddress::parse(literal);
    EXPECT_TRUE(address) << literal;
    return address.value_or(ProbeAddress{});
}

// Stands in for the system resolver: answers from a table, remembers every
// question, and never touches the network.
struct FakeResolver {
    std::map<std::string, std::vector<ProbeAddress>> answers;
    std::vector<std::string> asked;

    TargetPlan::Resolver function() {
        return [this](const std::string& host) {
            asked.push_back(host);
            const auto found = answers.find(host);
            return found == answers.end() ? std::vector<ProbeAddress>{} : found->second;
        };
    }
};

NetworkPath ipv4Only() {
    NetworkPath path;
    path.isSatisfied = true;
    path.primaryInterface = "eth0";
    path.hasIPv4 = true;
    path.routerIPv4 = at("192.168.1.1");
    // Known but unused without IPv6 state.
    path.routerIPv6 = at("fe80::1%1");
    return path;
}

NetworkPath ipv6Only() {
    NetworkPath path;
    path.isSatisfied = true;
    path.primaryInterface = "eth0";
    path.hasIPv6 = true;
    path.routerIPv6 = at("fe80::1%1");
    return path;
}

NetworkPath dualStack() {
    NetworkPath path = ipv4Only();
    path.hasIPv6 = true;
    return path;
}

TargetSettings withHosts(std::vector<std::string> internet, std::vector<std::string> custom = {}) {
    TargetSettings settings;
    settings.internetHosts = std::move(internet);
    settings.customHosts = std::move(custom);
    return settings;
}

TEST(TargetPlan, AddressOfAHostInOneFamily) {
    FakeResolver resolver;
    resolver.answers["dual.test"] = {at("2001:db8::7"), at("192.0.2.7"), at("192.0.2.8")};
    const auto resolve = resolver.function();

    EXPECT_EQ(TargetPlan::address("192.0.2.1", IPFamily::v4, resolve), at("192.0.2.1"));
    EXPECT_EQ(TargetPlan::address("9.9.9.9", IPFamily::v6, resolve), at("2620:fe::fe"));
    // No partners the other way round, and none for unknown IPv4 hosts.
    EXPECT_EQ(TargetPlan::address("2620:fe::fe", IPFamily::v4, resolve), std::nullopt);
    EXPECT_EQ(TargetPlan::address("192.0.2.1", IPFamily::v6, resolve), std::nullopt);
    // Partners go by the text as typed, not by the address it spells.
    EXPECT_EQ(TargetPlan::address("001.001.001.001", IPFamily::v6, resolve), std::nullopt);
    EXPECT_THAT(resolver.asked, IsEmpty());

    EXPECT_EQ(TargetPlan::address("dual.test", IPFamily::v4, resolve), at("192.0.2.7"));
    EXPECT_EQ(TargetPlan::address("dual.test", IPFamily::v6, resolve), at("2001:db8::7"));
    EXPECT_EQ(TargetPlan::address("nowhere.test", IPFamily::v4, resolve), std::nullopt);
}

TEST(TargetPlan, UnsatisfiedPathHasNoTargets) {
    FakeResolver resolver;
    NetworkPath path = dualStack();
    path.isSatisfied = false;
    EXPECT_THAT(TargetPlan::targets(path, withHosts({"a.test"}, {"b.test"}), resolver.function()), IsEmpty());
    EXPECT_THAT(TargetPlan::targets(NetworkPath::empty(), TargetSettings{}, resolver.function()), IsEmpty());
    EXPECT_THAT(resolver.asked, IsEmpty());
}

TEST(TargetPlan, IPv4OnlyPathWithDefaultSettings) {
    FakeResolver resolver;
    EXPECT_THAT(TargetPlan::targets(ipv4Only(), TargetSettings{}, resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")},
                            Target{TargetRole::internet(0), "1.1.1.1", at("1.1.1.1")},
                            Target{TargetRole::internet(1), "8.8.8.8", at("8.8.8.8")}));
}

TEST(TargetPlan, DualStackAddsTheFirstHostsIPv6Partner) {
    FakeResolver resolver;
    const auto targets = TargetPlan::targets(dualStack(), TargetSettings{}, resolver.function());
    EXPECT_THAT(targets, ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")},
                                     Target{TargetRole::internet(0), "1.1.1.1", at("1.1.1.1")},
                                     Target{TargetRole::internet(1), "8.8.8.8", at("8.8.8.8")},
                                     Target{TargetRole::internetIPv6(), "1.1.1.1", at("2606:4700:4700::1111")}));

    auto settings = TargetSettings{};
    settings.probeIPv6 = false;
    EXPECT_EQ(TargetPlan::targets(dualStack(), settings, resolver.function()).size(), 3u);

    // A first host without a partner gives no IPv6 target, even if the
    // second one has a partner.
    EXPECT_EQ(TargetPlan::targets(dualStack(), withHosts({"192.0.2.1", "8.8.8.8"}), resolver.function()).size(), 3u);
    EXPECT_EQ(TargetPlan::targets(dualStack(), withHosts({}), resolver.function()).size(), 1u);
}

TEST(TargetPlan, IPv6OnlyPathProbesThePartnersInstead) {
    FakeResolver resolver;
    EXPECT_THAT(TargetPlan::targets(ipv6Only(), TargetSettings{}, resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("fe80::1%1")},
                            Target{TargetRole::internet(0), "1.1.1.1", at("2606:4700:4700::1111")},
                            Target{TargetRole::internet(1), "8.8.8.8", at("2001:4860:4860::8888")}));
    // An IPv4 host without a partner cannot be probed there.
    EXPECT_THAT(TargetPlan::targets(ipv6Only(), withHosts({"192.0.2.1", "9.9.9.9"}), resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("fe80::1%1")},
                            Target{TargetRole::internet(1), "9.9.9.9", at("2620:fe::fe")}));
}

TEST(TargetPlan, MissingRouterIsLeftOut) {
    FakeResolver resolver;
    NetworkPath path = dualStack();
    path.routerIPv4.reset();
    // The IPv6 router does not stand in while the path has IPv4.
    const auto targets = TargetPlan::targets(path, withHosts({"192.0.2.1"}), resolver.function());
    EXPECT_THAT(targets, ElementsAre(Target{TargetRole::internet(0), "192.0.2.1", at("192.0.2.1")}));
}

TEST(TargetPlan, SkippedHostKeepsItsIndexAndTheThirdIsNeverUsed) {
    FakeResolver resolver;
    resolver.answers["two.test"] = {at("192.0.2.2")};
    resolver.answers["three.test"] = {at("192.0.2.3")};
    const auto targets = TargetPlan::targets(ipv4Only(), withHosts({"one.test", "two.test", "three.test"}),
                                             resolver.function());
    EXPECT_THAT(targets, ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")},
                                     Target{TargetRole::internet(1), "two.test", at("192.0.2.2")}));
    EXPECT_THAT(resolver.asked, ElementsAre("one.test", "two.test"));
}

TEST(TargetPlan, NamesResolveOnceAndGiveTheFirstAddressOfEachFamily) {
    FakeResolver resolver;
    resolver.answers["dual.test"] = {at("2001:db8::1"), at("192.0.2.1"), at("2001:db8::2"), at("192.0.2.2")};
    resolver.answers["twice.test"] = {at("192.0.2.9"), at("192.0.2.9")};
    const auto targets = TargetPlan::targets(dualStack(), withHosts({"dual.test", "twice.test"}, {"dual.test"}),
                                             resolver.function());
    EXPECT_THAT(targets, ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")},
                                     Target{TargetRole::internet(0), "dual.test", at("192.0.2.1")},
                                     Target{TargetRole::internet(1), "twice.test", at("192.0.2.9")},
                                     Target{TargetRole::internetIPv6(), "dual.test", at("2001:db8::1")},
                                     Target{TargetRole::custom(0), "dual.test", at("192.0.2.1")}));
    EXPECT_THAT(resolver.asked, ElementsAre("dual.test", "twice.test"));
}

TEST(TargetPlan, CustomHostsFallBackToIPv6OnDualStackOnly) {
    FakeResolver resolver;
    resolver.answers["v6only.test"] = {at("2001:db8::66")};
    const auto settings = withHosts({}, {"2001:db8::1", "v6only.test", "192.0.2.3"});

    EXPECT_THAT(TargetPlan::targets(dualStack(), settings, resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")},
                            Target{TargetRole::custom(0), "2001:db8::1", at("2001:db8::1")},
                            Target{TargetRole::custom(1), "v6only.test", at("2001:db8::66")}));
    EXPECT_THAT(TargetPlan::targets(ipv4Only(), settings, resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")}));
    // On an IPv6-only path the IPv6 addresses are the primary ones.
    EXPECT_THAT(TargetPlan::targets(ipv6Only(), settings, resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("fe80::1%1")},
                            Target{TargetRole::custom(0), "2001:db8::1", at("2001:db8::1")},
                            Target{TargetRole::custom(1), "v6only.test", at("2001:db8::66")}));
}

TEST(TargetPlan, IPv6LiteralInternetHostBecomesTheIPv6Target) {
    FakeResolver resolver;
    const auto settings = withHosts({"2001:db8::53", "8.8.8.8"});
    EXPECT_THAT(TargetPlan::targets(dualStack(), settings, resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")},
                            Target{TargetRole::internet(1), "8.8.8.8", at("8.8.8.8")},
                            Target{TargetRole::internetIPv6(), "2001:db8::53", at("2001:db8::53")}));
    EXPECT_THAT(TargetPlan::targets(ipv4Only(), settings, resolver.function()),
                ElementsAre(Target{TargetRole::router(), "router", at("192.168.1.1")},
                            Target{TargetRole::internet(1), "8.8.8.8", at("8.8.8.8")}));
    EXPECT_THAT(resolver.asked, IsEmpty());
}

TEST(TargetPlan, AtMostSixTargets) {
    FakeResolver resolver;
    const auto settings = withHosts({"1.1.1.1", "8.8.8.8", "9.9.9.9"}, {"192.0.2.1", "192.0.2.2", "192.0.2.3"});
    const auto targets = TargetPlan::targets(dualStack(), settings, resolver.function());
    ASSERT_EQ(targets.size(), 6u);
    EXPECT_EQ(targets[4].role, TargetRole::custom(0));
    EXPECT_EQ(targets[5].role, TargetRole::custom(1));
}

}  // namespace
}  // namespace nerivane
