#include "nerivane/export/DevChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/platform/LogStore.h"
#include "NerivaneKit/platform/MachClock.h"
#include "NerivaneKit/platform/RepeatingTimer.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

template <typename T>
std::string orNil(const std::optional<T>& value) {
    if (!value) return "nil";
    std::ostringstream text;
    text << *value;
    return text.str();
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool isWireless(const std::filesystem::path& interface) {
    std::error_code ignored;
    if (std::filesystem::is_directory(interface / "wireless", ignored)) return true;
    return readFile(interface / "uevent").find("DEVTYPE=wlan") != std::string::npos;
}

}  // namespace

std::unique_ptr<DevChecks> DevChecks::open(const std::string& path, Sources sources) {
    // Appended to, the user's own, and never through a link: the variable
    // must not make the program write into a file it points at.
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!file) {
        const int error = errno;
        Log("app").error(Log::format("developer log %s: %s", path.c_str(),
                                     error == ELOOP ? "is a symbolic link" : std::strerror(error)));
        return nullptr;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        Log("app").error(Log::format("developer log %s: not a regular file of this user", path.c_str()));
        return nullptr;
    }
    if ((status.st_mode & 077) != 0) ::fchmod(file.get(), status.st_mode & 0700);
    return std::unique_ptr<DevChecks>(new DevChecks(std::move(file), std::move(sources)));
}

std::unique_ptr<DevChecks> DevChecks::fromEnvironment(Sources sources) {
    const char* path = std::getenv("NERIVANE_DEV_LOG");
    if (!path || !*path) return nullptr;
    return open(path, std::move(sources));
}

DevChecks::DevChecks(UniqueFd file, Sources sources)
    : file_(std::move(file)),
      sources_(std::move(sources)),
      queue_(std::make_unique<SerialQueue>(std::string(Log::defaultSubsystem) + ".devchecks")) {
    if (!sources_.wifi) sources_.wifi = [] { return readWiFi(); };
    if (!sources_.monotonic)
        sources_.monotonic = [] { return static_cast<std::uint64_t>(MachClock::now().time_since_epoch().count()); };
    if (!sources_.continuous) {
        sources_.continuous = [] {
            return static_cast<std::uint64_t>(MachClock::continuousNow().time_since_epoch().count());
        };
    }
    startContinuous_ = sources_.continuous();
    startAsleep_ = startContinuous_ - sources_.monotonic();
    queue_->sync([this] {
        writeOnQueue(Log::format("developer log started pid=%d", static_cast<int>(getpid())));
        checkOnQueue();
        timer_ = std::make_unique<RepeatingTimer>(*queue_, [this] { checkOnQueue(); });
        timer_->start(checkPeriod);
    });
}

DevChecks::~DevChecks() {
    queue_->sync([this] { timer_.reset(); });
}

void DevChecks::write(std::string message) {
    queue_->async([this, message = std::move(message)] { writeOnQueue(message); });
}

void DevChecks::check() {
    queue_->async([this] { checkOnQueue(); });
}

void DevChecks::flush() {
    queue_->sync([] {});
}

std::string DevChecks::line(double seconds, std::string_view message) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%9.3f ", seconds);
    std::string text(prefix);
    text.append(message);
    text += '\n';
    return text;
}

std::string DevChecks::wifiLine(const std::optional<WiFiReading>& reading) {
    if (!reading) return "wifi none";
    const std::optional<WiFiInfo>& info = reading->info;
    std::optional<int> rssi, noise, channel, width;
    std::optional<double> rate;
    std::optional<std::string> band;
    if (info) {
        rssi = info->rssi;
        // The driver reports no noise as 0.
        if (info->noise != 0) noise = info->noise;
        rate = info->transmitRate;
        channel = info->channel;
        band = info->band;
        width = info->width;
    }
    // SSID and BSSID are not read: nothing in the program needs them.
    return "wifi interface=" + reading->interfaceName + " power=" + (reading->power ? "true" : "false") +
           " rssi=" + orNil(rssi) + " noise=" + orNil(noise) + " tx_rate=" + orNil(rate) +
           " channel=" + orNil(channel) + " band=" + orNil(band) + " width=" + orNil(width) + " ssid=nil bssid=nil";
}

std::optional<DevChecks::WiFiReading> DevChecks::readWiFi(const std::string& sysClassNet) {
    std::error_code error;
    std::vector<std::filesystem::path> interfaces;
    for (const auto& entry : std::filesystem::directory_iterator(sysClassNet, error)) interfaces.push_back(entry.path());
    std::sort(interfaces.begin(), interfaces.end());
    for (const auto& interface : interfaces) {
        if (!isWireless(interface)) continue;
        WiFiReading reading;
        reading.interfaceName = interface.filename().string();
        // IFF_UP is bit 0 of the flags, written in hexadecimal.
        reading.power = (std::strtoul(readFile(interface / "flags").c_str(), nullptr, 16) & 1) != 0;
        if (reading.power) reading.info = WiFiInfo::read(reading.interfaceName);
        return reading;
    }
    return std::nullopt;
}

void DevChecks::writeOnQueue(std::string_view message) {
    const double seconds = static_cast<double>(sources_.continuous() - startContinuous_) / 1e9;
    const std::string text = line(seconds, message);
    // One write per line, so a reader never sees half a line from us.
    if (::write(file_.get(), text.data(), text.size()) < 0) {
        Log("app").error(Log::format("developer log write: %s", std::strerror(errno)));
    }
}

void DevChecks::checkOnQueue() {
    writeOnQueue(wifiLine(sources_.wifi()));

    int errors = 0;
    const auto entries = LogStore::shared().entries(std::chrono::seconds(600), Log::defaultSubsystem);
    for (const LogEntry& entry : entries) errors += entry.level == LogLevel::error ? 1 : 0;
    writeOnQueue(Log::format("log entries=%zu errors=%d (last 10 minutes)", entries.size(), errors));

    const std::uint64_t asleep = sources_.continuous() - sources_.monotonic() - startAsleep_;
    writeOnQueue(Log::format("clock asleep=%.3fs since start", static_cast<double>(asleep) / 1e9));
}

}  // namespace nerivane
