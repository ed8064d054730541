#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "NerivaneKit/path/MeteredWatch.h"

extern char** environ;

namespace nerivane {
namespace {

using namespace std::chrono_literals;

// A bus of our own: a dbus-daemon with the session configuration listening
// on a socket in a temporary directory.
class PrivateBus {
public:
    PrivateBus() {
        directory_ = std::filesystem::temp_directory_path() / ("nerivane-bus-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
        const auto socket = directory_ / "bus";
        address_ = "unix:path=" + socket.string();
        std::string addressArgument = "--address=" + address_;
        char program[] = "dbus-daemon";
        char session[] = "--session";
        char nofork[] = "--nofork";
        char* argv[] = {program, session, nofork, addressArgument.data(), nullptr};
        if (posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        for (int i = 0; i < 200 && pid_ > 0 && !std::filesystem::exists(socket); ++i)
            std::this_thread::sleep_for(10ms);
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove_all(directory_);
    }
    bool running() const { return pid_ > 0 && std::filesystem::exists(directory_ / "bus"); }
    const std::string& address() const { return address_; }

private:
    std::filesystem::path directory_;
    std::string address_;
    pid_t pid_ = -1;
};

// Stands in for NetworkManager: owns its name and serves a Metered property
// whose changes it announces, from a thread of its own.
class FakeNetworkManager {
public:
    FakeNetworkManager(const std::string& address, std::uint32_t metered) : metered_(metered) {
        sd_bus* raw = nullptr;
        if (sd_bus_new(&raw) < 0) return;
        bus_ = raw;
        if (sd_bus_set_address(bus_, address.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
            sd_bus_start(bus_) < 0)
            return;
        if (sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
                                     vtable, this) < 0)
            return;
        if (sd_bus_request_name(bus_, "org.freedesktop.NetworkManager", 0) < 0) return;
        ready_ = true;
        thread_ = std::thread([this] { run(); });
    }
    ~FakeNetworkManager() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }
    void setMetered(std::uint32_t value) {
        metered_ = value;
        announce_ = true;
    }

private:
    static int getMetered(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
                          sd_bus_error*) {
        return sd_bus_message_append(reply, "u", static_cast<FakeNetworkManager*>(userdata)->metered_.load());
    }
    static constexpr sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Metered", "u", getMetered, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
        SD_BUS_VTABLE_END,
    };

    void run() {
        while (!stop_) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            if (announce_.exchange(false))
                sd_bus_emit_properties_changed(bus_, "/org/freedesktop/NetworkManager",
                                               "org.freedesktop.NetworkManager", "Metered", nullptr);
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
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<bool> values;
    std::unique_ptr<MeteredWatch> watch;

    void TearDown() override {
        queue.sync([&] { watch.reset(); });
    }
    void watchBus(const std::string& address) {
        queue.sync([&] {
            watch = std::make_unique<MeteredWatch>(
                queue,
                [this](bool value) {
                    EXPECT_TRUE(queue.isCurrent());
                    std::lock_guard lock(mutex);
                    values.push_back(value);
                    arrived.notify_all();
                },
                address);
        });
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, 10s, [&] { return values.size() >= count; });
    }
    std::vector<bool> seen() {
        std::lock_guard lock(mutex);
        return values;
    }
};

TEST_F(MeteredWatchTest, NoBusMeansNotExpensive) {
    watchBus("unix:path=/nonexistent/nerivane-test-bus");
    ASSERT_TRUE(waitFor(1));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(seen(), std::vector<bool>{false});
}

TEST_F(MeteredWatchTest, FollowsNetworkManagerFromTheStartAsItChangesGoesAndComes) {
    // Unknown, yes, no, guess yes, guess no.
    for (std::uint32_t value : {0u, 1u, 2u, 3u, 4u}) EXPECT_EQ(MeteredWatch::isExpensive(value), value % 2 == 1) << value;

    PrivateBus bus;
    if (!bus.running()) GTEST_SKIP() << "dbus-daemon is not available";
    auto manager = std::make_unique<FakeNetworkManager>(bus.address(), 3);  // guess yes
    ASSERT_TRUE(manager->ready());
    watchBus(bus.address());
    ASSERT_TRUE(waitFor(1));

    manager->setMetered(4);  // guess no
    ASSERT_TRUE(waitFor(2));
    manager->setMetered(2);  // no: still not expensive, nothing to report
    manager->setMetered(1);  // yes
    ASSERT_TRUE(waitFor(3));

    manager.reset();  // NetworkManager leaves the bus
    ASSERT_TRUE(waitFor(4));
    manager = std::make_unique<FakeNetworkManager>(bus.address(), 3);
    ASSERT_TRUE(manager->ready());
    ASSERT_TRUE(waitFor(5));  // its name appearing brings a fresh read
    EXPECT_EQ(seen(), (std::vector<bool>{true, false, true, false, true}));
}

}  // namespace
}  // namespace nerivane
