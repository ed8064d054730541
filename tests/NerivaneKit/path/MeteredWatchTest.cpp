#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "NerivaneKit/path/MeteredWatch.h"
#include "support/HistoryTestSupport.h"
#include "support/Recorder.h"

extern char** environ;

namespace nerivane {
namespace {

using namespace std::chrono_literals;

// A bus of our own: a dbus-daemon with the session configuration on a socket in a temporary folder.
struct PrivateBus {
    TempFolder folder;
    std::string address = "unix:path=" + folder.path("bus");
    pid_t pid = -1;

    PrivateBus() {
        std::string program = "dbus-daemon", session = "--session", nofork = "--nofork", at = "--address=" + address;
        char* argv[] = {program.data(), session.data(), nofork.data(), at.data(), nullptr};
        if (posix_spawnp(&pid, "dbus-daemon", nullptr, nullptr, argv, environ) != 0) pid = -1;
        test::eventually([&] { return running(); }, 2s);
    }
    ~PrivateBus() {
        if (pid > 0) ::kill(pid, SIGTERM), ::waitpid(pid, nullptr, 0);
    }
    bool running() const { return pid > 0 && std::filesystem::exists(folder.path("bus")); }
};

// Stands in for NetworkManager: owns its name and serves a Metered property
// whose changes it announces, from a thread of its own.
class FakeNetworkManager {
public:
    FakeNetworkManager(const std::string& address, std::uint32_t metered) : metered_(metered) {
        ready_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
                 sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
                 sd_bus_add_object_vtable(bus_, &slot_, path, interface, vtable, this) >= 0 &&
                 sd_bus_request_name(bus_, interface, 0) >= 0;
        if (ready_) thread_ = std::thread([this] { run(); });
    }
    ~FakeNetworkManager() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }
    void setMetered(std::uint32_t value) { metered_ = value, announce_ = true; }

private:
    static constexpr const char* path = "/org/freedesktop/NetworkManager";
    static constexpr const char* interface = "org.freedesktop.NetworkManager";
    static int get(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self, sd_bus_error*) {
        return sd_bus_message_append(reply, "u", static_cast<FakeNetworkManager*>(self)->metered_.load());
    }
    static constexpr sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("Metered", "u", get, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE), SD_BUS_VTABLE_END};
    void run() {
        while (!stop_) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            if (announce_.exchange(false)) sd_bus_emit_properties_changed(bus_, path, interface, "Metered", nullptr);
            sd_bus_wait(bus_, 20'000);
        }
    }
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    std::atomic<std::uint32_t> metered_;
    std::atomic<bool> announce_{false}, stop_{false};
    bool ready_ = false;
    std::thread thread_;
};

class MeteredWatchTest : public ::testing::Test {
protected:
    SerialQueue queue{"org.nerivane.Nerivane.test.metered"};
    test::Recorder<bool> values;
    std::unique_ptr<MeteredWatch> watch;

    void TearDown() override { queue.sync([&] { watch.reset(); }); }
    void watchBus(const std::string& address) {
        queue.sync([&] {
            watch = std::make_unique<MeteredWatch>(queue, [this](bool value) {
                EXPECT_TRUE(queue.isCurrent());
                values(value);
            }, address);
        });
    }
};

TEST_F(MeteredWatchTest, NoBusMeansNotExpensive) {
    watchBus("unix:path=/nonexistent/nerivane-test-bus");
    EXPECT_FALSE(values.waitForCount(2, 200ms));
    EXPECT_EQ(values.values(), std::vector<bool>{false});
}

TEST_F(MeteredWatchTest, FollowsNetworkManagerFromTheStartAsItChangesGoesAndComes) {
    PrivateBus bus;
    if (!bus.running()) GTEST_SKIP() << "dbus-daemon is not available";
    auto manager = std::make_unique<FakeNetworkManager>(bus.address, 3);  // guess yes
    ASSERT_TRUE(manager->ready());
    watchBus(bus.address);
    ASSERT_TRUE(values.waitForCount(1));
    manager->setMetered(4);  // guess no
    ASSERT_TRUE(values.waitForCount(2));
    manager->setMetered(2);  // no: still not expensive, nothing to report
    manager->setMetered(1);  // yes
    ASSERT_TRUE(values.waitForCount(3));
    manager.reset();  // NetworkManager leaves the bus
    ASSERT_TRUE(values.waitForCount(4));
    manager = std::make_unique<FakeNetworkManager>(bus.address, 3);
    ASSERT_TRUE(manager->ready());
    ASSERT_TRUE(values.waitForCount(5));  // its name appearing brings a fresh read
    EXPECT_EQ(values.values(), (std::vector<bool>{true, false, true, false, true}));
}

}  // namespace
}  // namespace nerivane
