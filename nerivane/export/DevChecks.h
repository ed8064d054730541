// The developer log: when NERIVANE_DEV_LOG names a file at start-up, the file
// (a regular file of the user, 0600, not reached through a link) is kept open
// and every line is appended with one write(2) as
// the seconds since the log started ("%9.3f"), a blank and the message. The
// periodic self-checks (Wi-Fi link, the log's error count, time lost to
// sleep) run every checkPeriod and once at start. Owned by the application
// delegate; all file work on its own serial queue
// ("org.nerivane.Nerivane.devchecks"); write() is safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "NerivaneKit/platform/UniqueFd.h"
#include "nerivane/core/WiFiInfo.h"

namespace nerivane {

class RepeatingTimer;
class SerialQueue;

class DevChecks {
public:
    static constexpr std::chrono::seconds checkPeriod{30};

    struct WiFiReading {
        std::string interfaceName;
        // The interface is up.
        bool power = false;
        // None while not associated.
        std::optional<WiFiInfo> info;
    };

    struct Sources {
        // The Wi-Fi interface and its link; none without a Wi-Fi interface.
        // Empty: the first wireless interface under /sys/class/net. Runs on
        // the developer log's queue.
        std::function<std::optional<WiFiReading>()> wifi;
        // Nanoseconds of the monotonic and continuous clocks; empty: the system's.
        std::function<std::uint64_t()> monotonic;
        std::function<std::uint64_t()> continuous;
    };

    // None when the file cannot be created or opened, is a link, or is not a
    // regular file of this user.
    static std::unique_ptr<DevChecks> open(const std::string& path, Sources sources = {});
    // From NERIVANE_DEV_LOG; none when it is unset or empty, or as open().
    static std::unique_ptr<DevChecks> fromEnvironment(Sources sources = {});
    // Stops the checks; lines already handed in are written first.
    ~DevChecks();
    DevChecks(const DevChecks&) = delete;
    DevChecks& operator=(const DevChecks&) = delete;

    void write(std::string message);
    // Runs the self-checks now (they also run on their own schedule).
    void check();
    // Returns once everything handed in so far is in the file.
    void flush();

    // "    1.250 message\n"
    static std::string line(double seconds, std::string_view message);
    // "wifi none", or "wifi interface=wlan0 power=true rssi=-60 ... bssid=nil".
    static std::string wifiLine(const std::optional<WiFiReading>& reading);
    // The first wireless interface (one with a wireless/ folder or DEVTYPE=wlan)
    // under the sysfs network folder, its up flag, and its link read through nl80211.
    static std::optional<WiFiReading> readWiFi(const std::string& sysClassNet = "/sys/class/net");

private:
    DevChecks(UniqueFd file, Sources sources);
    void writeOnQueue(std::string_view message);
    void checkOnQueue();

    UniqueFd file_;
    Sources sources_;
    std::uint64_t startContinuous_ = 0;
    std::uint64_t startAsleep_ = 0;
    // Queue only.
    std::unique_ptr<RepeatingTimer> timer_;
    // Last: stops first, so no queued work outlives the members.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace nerivane
