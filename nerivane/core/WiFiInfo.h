// The Wi-Fi link's radio details shown in the popover's Wi-Fi card, read on
// demand through nl80211 for the interface that carries the network path,
// and this machine's own address on an interface. Plain functions without
// state: read() may run on any thread (the model calls it off the main thread).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nerivane {

struct WiFiInfo {
    // dBm; never 0 in a returned record.
    int rssi = 0;
    // dBm on the channel in use; 0 when the driver does not measure it.
    int noise = 0;
    // Mbit/s.
    double transmitRate = 0;
    std::optional<int> channel;
    // "2.4 GHz", "5 GHz" or "6 GHz".
    std::optional<std::string> band;
    // MHz: 20, 40, 80 or 160.
    std::optional<int> width;

    bool operator==(const WiFiInfo&) const = default;

    // What nl80211 reports for an interface, before it is turned into a record.
    struct Radio {
        // Signal of the access point we are associated with, dBm.
        std::optional<int> signal;
        std::optional<int> noise;
        std::optional<double> transmitRate;
        // Centre frequency of the operating channel, MHz.
        std::optional<std::uint32_t> frequency;
        // An nl80211_chan_width value.
        std::optional<std::uint32_t> channelWidth;
    };

    // None when there is no association (no signal, or a signal of 0).
    static std::optional<WiFiInfo> from(const Radio& radio);
    static std::optional<int> channelNumber(std::uint32_t frequency);
    static std::optional<std::string> bandName(std::uint32_t frequency);
    static std::optional<int> widthMHz(std::uint32_t channelWidth);

    // None when the interface does not exist, is not wireless, or is not
    // associated (which includes a radio that is off).
    static std::optional<WiFiInfo> read(const std::string& interfaceName);
    // The signal alone, cheaper than read(); none as for read().
    static std::optional<int> readSignal(const std::string& interfaceName);

    // The first IPv4 address of the interface, else its first IPv6 address
    // that is not link-local; none when it has neither.
    static std::optional<std::string> localAddress(const std::string& interfaceName);
};

}  // namespace nerivane
