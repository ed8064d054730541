#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NerivaneKit/probing/TargetPlan.h"

namespace nerivane {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

ProbeAddress at(const std::string& literal) { return ProbeAddress::parse(literal).value(); }

// Stands in for the system resolver: answers from a table, remembers every
// question, and never touches the network.
struct FakeResolver {
    std::map<std::string, std::vector<ProbeAddress>> answers{
        {"dual.test", {at("2001:db8::1"), at("192.0.2.1"), at("2001:db8::2"), at("192.0.2.2")}},
        {"twice.test", {at("192.0.2.9"), at("192.0.2.9")}},
        {"two.test", {at("192.0.2.2")}},
        {"three.test", {at("192.0.2.3")}},
        {"v6only.test", {at("2001:db8::66")}},
    };
    std::vector<std::string> asked;

    TargetPlan::Resolver function() {
        return [this](const std::string& host) {
            asked.push_back(host);
            const auto found = answers.find(host);
            return found == answers.end() ? std::vector<ProbeAddress>{} : found->second;
        };
    }
};

NetworkPath path(bool v4, bool v6) {
    NetworkPath path;
    path.isSatisfied = true;
    path.primaryInterface = "eth0";
    path.hasIPv4 = v4;
    path.hasIPv6 = v6;
    if (v4) path.routerIPv4 = at("192.168.1.1");
    path.routerIPv6 = at("fe80::1%1");  // known but unused without IPv6 state
    return path;
}

const NetworkPath ipv4Only = path(true, false), ipv6Only = path(false, true), dualStack = path(true, true);

TargetSettings hosts(std::vector<std::string> internet, std::vector<std::string> custom = {}, bool probeIPv6 = true) {
    TargetSettings settings;
    std::tie(settings.internetHosts, settings.customHosts, settings.probeIPv6) = std::tie(internet, custom, probeIPv6);
    return settings;
}

TEST(TargetPlan, TargetsOfEachKindOfPath) {
    const Target router4{TargetRole::router(), "router", at("192.168.1.1")};
    const Target router6{TargetRole::router(), "router", at("fe80::1%1")};
    const auto internet = [](int i, const char* host, const char* address) { return Target{TargetRole::internet(i), host, at(address)}; };
    const auto custom = [](int i, const char* host, const char* address) { return Target{TargetRole::custom(i), host, at(address)}; };
    NetworkPath unsatisfied = dualStack;
    unsatisfied.isSatisfied = false;
    NetworkPath noRouter = dualStack;
    noRouter.routerIPv4.reset();
    const std::vector<std::string> none;
    const struct {
        const char* name;
        NetworkPath path;
        TargetSettings settings;
        std::vector<Target> expected;
        std::optional<std::vector<std::string>> asked;  // when it matters
    } cases[] = {
        {"unsatisfied", unsatisfied, hosts({"a.test"}, {"b.test"}), {}, none},
        {"dual stack adds only the first host's IPv6 partner", dualStack, TargetSettings{},
         {router4, internet(0, "1.1.1.1", "1.1.1.1"), internet(1, "8.8.8.8", "8.8.8.8"),
          {TargetRole::internetIPv6(), "1.1.1.1", at("2606:4700:4700::1111")}},
         none},
        {"dual stack, IPv6 probing off", dualStack, hosts({"1.1.1.1"}, {}, false), {router4, internet(0, "1.1.1.1", "1.1.1.1")},
         none},
        {"IPv6 only probes the partners, a host without one keeps its index", ipv6Only, hosts({"192.0.2.1", "9.9.9.9"}),
         {router6, internet(1, "9.9.9.9", "2620:fe::fe")}, none},
        // The IPv6 router does not stand in while the path has IPv4.
        {"missing router", noRouter, hosts({"192.0.2.1"}), {internet(0, "192.0.2.1", "192.0.2.1")}, none},
        {"unresolved host keeps its index, the third is never used", ipv4Only,
         hosts({"one.test", "two.test", "three.test"}), {router4, internet(1, "two.test", "192.0.2.2")},
         std::vector<std::string>{"one.test", "two.test"}},
        {"names resolve once, first address of each family", dualStack,
         hosts({"dual.test", "twice.test"}, {"dual.test"}),
         {router4, internet(0, "dual.test", "192.0.2.1"), internet(1, "twice.test", "192.0.2.9"),
          {TargetRole::internetIPv6(), "dual.test", at("2001:db8::1")}, custom(0, "dual.test", "192.0.2.1")},
         std::vector<std::string>{"dual.test", "twice.test"}},
        {"custom hosts fall back to IPv6, two at most", dualStack, hosts({}, {"2001:db8::1", "v6only.test", "192.0.2.3"}),
         {router4, custom(0, "2001:db8::1", "2001:db8::1"), custom(1, "v6only.test", "2001:db8::66")}, {}},
        {"IPv6 literal internet host is the IPv6 target", dualStack, hosts({"2001:db8::53", "8.8.8.8"}),
         {router4, internet(1, "8.8.8.8", "8.8.8.8"), {TargetRole::internetIPv6(), "2001:db8::53", at("2001:db8::53")}},
         none},
    };
    for (const auto& c : cases) {
        FakeResolver resolver;
        EXPECT_THAT(TargetPlan::targets(c.path, c.settings, resolver.function()), ElementsAreArray(c.expected)) << c.name;
        EXPECT_EQ(resolver.asked, c.asked.value_or(resolver.asked)) << c.name;
    }
    // Partners go by the text as typed, not by the address it spells.
    FakeResolver resolver;
    EXPECT_EQ(TargetPlan::address("001.001.001.001", IPFamily::v6, resolver.function()), std::nullopt);
    EXPECT_EQ(TargetPlan::address("2620:fe::fe", IPFamily::v4, resolver.function()), std::nullopt);
    EXPECT_THAT(resolver.asked, IsEmpty());
}

}  // namespace
}  // namespace nerivane
