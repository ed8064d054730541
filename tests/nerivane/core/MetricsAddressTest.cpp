// Which metrics addresses are taken, as what, and what a refused one is told;
// which resolved ones reach only this machine.
#include <gtest/gtest.h>

#include <tuple>

#include "nerivane/core/MetricsAddress.h"

namespace nerivane {
namespace {

TEST(MetricsAddress, FormsTakenAndRefusedWithWhatToWrite) {
    // Written, taken as host and port, and written back.
    const std::tuple<const char*, MetricsAddress, const char*> taken[] = {
        {"127.0.0.1:9101", {"127.0.0.1", 9101}, "127.0.0.1:9101"},
        {"[::1]:9101", {"::1", 9101}, "[::1]:9101"},
        {"0.0.0.0:65535", {"0.0.0.0", 65535}, "0.0.0.0:65535"},
        {"localhost:00080", {"localhost", 80}, "localhost:80"},
        // Only the form is checked here: resolving comes when the exporter starts.
        {"nas.home.arpa:1", {"nas.home.arpa", 1}, "nas.home.arpa:1"},
    };
    for (const auto& [text, address, written] : taken) {
        const auto parsed = MetricsAddress::parse(text);
        ASSERT_TRUE(std::holds_alternative<MetricsAddress>(parsed)) << text << ": " << std::get<std::string>(parsed);
        EXPECT_EQ(std::get<MetricsAddress>(parsed), address) << text;
        EXPECT_EQ(address.text(), written);
    }

    const std::string noPort = " has no port: write ADDR:PORT, e.g. 127.0.0.1:9101";
    const std::string noNumber = " has no port number: write ADDR:PORT, e.g. 127.0.0.1:9101";
    const std::string noHost = " has no host: write ADDR:PORT, e.g. 127.0.0.1:9101 (0.0.0.0 for every address)";
    const std::string range = ": the port must be from 1 to 65535";
    const std::pair<const char*, std::string> refused[] = {
        {"127.0.0.1", noPort},
        {"", noPort},
        {"127.0.0.1:", noNumber},
        {"127.0.0.1:http", noNumber},
        {"127.0.0.1:+80", noNumber},
        {"127.0.0.1:123456", noNumber},
        {":9101", noHost},
        {"[]:9101", noHost},
        {"127.0.0.1:0", range},
        {"127.0.0.1:65536", range},
        {"::1:9101", ": write an IPv6 address in brackets, e.g. [::1]:9101"},
    };
    for (const auto& [text, problem] : refused) {
        const auto parsed = MetricsAddress::parse(text);
        ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << text;
        EXPECT_EQ(std::get<std::string>(parsed), "metrics address \"" + std::string(text) + "\"" + problem);
    }
}

TEST(MetricsAddress, LoopbackIsThisMachineOnlyInEveryForm) {
    for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1", "::ffff:127.1.2.3"})
        EXPECT_TRUE(MetricsAddress::isLoopback(host)) << host;
    for (const char* host : {"0.0.0.0", "::", "10.77.0.2", "128.0.0.1", "::ffff:10.0.0.1", "::127.0.0.1", "fe80::1", "localhost", ""})
        EXPECT_FALSE(MetricsAddress::isLoopback(host)) << host;
}

}  // namespace
}  // namespace nerivane
