// Which servers are probed: resolv.conf's nameserver lines, or, when it
// names only systemd-resolved's stub, resolved's per-link servers read over
// D-Bus, from a stand-in resolved on a dbus-daemon of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "NerivaneKit/lookup/SystemResolvers.h"

namespace nerivane {
namespace {

namespace fs = std::filesystem;

// A dbus-daemon of the test's own, so no machine service is reached.
class PrivateBus {
public:
    PrivateBus() : folder_(fs::temp_directory_path() / ("nerivane-bus-" + std::to_string(::getpid()))) {
        fs::create_directories(folder_);
        std::ofstream(folder_ / "bus.conf")
            << "<busconfig><type>session</type><listen>unix:dir=" << folder_.string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
        const std::string command = "dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" + (folder_ / "bus.conf").string();
        if (FILE* out = ::popen(command.c_str(), "r")) {
            char line[512] = {};
            if (std::fgets(line, sizeof line, out) != nullptr) address_ = std::string(line, std::strcspn(line, "\n"));
            if (std::fgets(line, sizeof line, out) != nullptr) daemon_ = std::atoi(line);
            ::pclose(out);
        }
    }
    ~PrivateBus() {
        if (daemon_ > 0) ::kill(daemon_, SIGTERM);
        std::error_code ignored;  // the daemon may be removing its socket
        fs::remove_all(folder_, ignored);
    }
    const std::string& address() const { return address_; }
    const fs::path& folder() const { return folder_; }

private:
    fs::path folder_;
    pid_t daemon_ = -1;
    std::string address_;
};

// resolved's Manager with a DNS property of a global IPv4 server and an IPv6
// one on the loopback link, answered on a thread of its own.
class StandInResolved {
public:
    explicit StandInResolved(const std::string& address) {
        sd_bus* raw = nullptr;
        if (sd_bus_new(&raw) < 0) return;
        bus_ = raw;
        if (sd_bus_set_address(bus_, address.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
            sd_bus_start(bus_) < 0)
            return;
        if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/resolve1", "org.freedesktop.resolve1.Manager",
                                     vtable, this) < 0)
            return;
        if (sd_bus_request_name(bus_, "org.freedesktop.resolve1", 0) < 0) return;
        thread_ = std::thread([this] {
            while (!stop_) {
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
                sd_bus_wait(bus_, 50'000);
            }
        });
    }
    ~StandInResolved() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return thread_.joinable(); }

private:
    static int dns(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
        unsigned char four[4];
        unsigned char sixteen[16];
        inet_pton(AF_INET, "192.0.2.53", four);
        inet_pton(AF_INET6, "2001:db8::53", sixteen);
        const int loopback = static_cast<int>(if_nametoindex("lo"));
        int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
        if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "iiay");
        if (r >= 0) r = sd_bus_message_append(reply, "ii", 0, AF_INET);
        if (r >= 0) r = sd_bus_message_append_array(reply, 'y', four, sizeof four);
        if (r >= 0) r = sd_bus_message_close_container(reply);
        if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "iiay");
        if (r >= 0) r = sd_bus_message_append(reply, "ii", loopback, AF_INET6);
        if (r >= 0) r = sd_bus_message_append_array(reply, 'y', sixteen, sizeof sixteen);
        if (r >= 0) r = sd_bus_message_close_container(reply);
        if (r >= 0) r = sd_bus_message_close_container(reply);
        return r;
    }
    static constexpr sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("DNS", "a(iiay)", dns, 0, 0),
        SD_BUS_VTABLE_END,
    };

    sd_bus* bus_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SystemResolvers, ReadsResolvConfOrResolvedBehindItsStub) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";

    const std::string plain = bus.folder() / "plain", stub = bus.folder() / "stub";
    std::ofstream(plain) << R"(# written by a DHCP client
search lan
nameserver 192.168.1.1
nameserver   fe80::1%eth0
nameserver 192.168.1.1
nameserver not-an-address
options edns0
)";
    const std::vector<ResolverServer> fromFile{{"192.168.1.1", 53, ""}, {"fe80::1", 53, "eth0"}};
    // Not the stub: the file is what the system uses, whatever resolved says.
    EXPECT_EQ(SystemResolvers::read({plain, bus.address()}), fromFile);

    std::ofstream(stub) << "nameserver 127.0.0.53\noptions edns0 trust-ad\n";
    // Behind the stub but no resolved on the bus: the stub itself.
    EXPECT_EQ(SystemResolvers::read({stub, bus.address()}), (std::vector<ResolverServer>{{"127.0.0.53", 53, ""}}));

    StandInResolved resolved(bus.address());
    ASSERT_TRUE(resolved.ready());
    const std::vector<ResolverServer> fromResolved{{"192.0.2.53", 53, ""}, {"2001:db8::53", 53, "lo"}};
    EXPECT_EQ(SystemResolvers::read({stub, bus.address()}), fromResolved);
    EXPECT_EQ(SystemResolvers::read({plain, bus.address()}), fromFile);
}

}  // namespace
}  // namespace nerivane
