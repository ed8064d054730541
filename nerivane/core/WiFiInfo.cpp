#include "nerivane/core/WiFiInfo.h"

#include <ifaddrs.h>
#include <linux/nl80211.h>
#include <net/if.h>
#include <netdb.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <functional>
#include <memory>

namespace nerivane {
namespace {

// One generic-netlink conversation with the kernel's nl80211 family. Replies
// come straight from the kernel, so a read never waits on another process;
// the receive timeout only guards against a lost reply.
class Nl80211 {
public:
    using Handler = std::function<void(nlattr** attributes)>;

    static std::optional<Nl80211> open() {
        Nl80211 link;
        if (!link.socket_ || genl_connect(link.socket_.get()) < 0) return std::nullopt;
        timeval timeout{2, 0};
        setsockopt(nl_socket_get_fd(link.socket_.get()), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        // No nl80211 family: the kernel has no wireless stack loaded.
        link.family_ = genl_ctrl_resolve(link.socket_.get(), NL80211_GENL_NAME);
        if (link.family_ < 0) return std::nullopt;
        return link;
    }

    // Sends one command for the interface and hands every reply's top-level
    // attributes to the handler. False when the kernel refuses (for example
    // ENODEV for an interface that is not wireless).
    bool request(std::uint8_t command, bool dump, unsigned interfaceIndex, const Handler& handler) {
        std::unique_ptr<nl_msg, decltype(&nlmsg_free)> message(nlmsg_alloc(), nlmsg_free);
        std::unique_ptr<nl_cb, decltype(&nl_cb_put)> callbacks(nl_cb_alloc(NL_CB_DEFAULT), nl_cb_put);
        if (!message || !callbacks) return false;
        if (!genlmsg_put(message.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family_, 0, dump ? NLM_F_DUMP : 0, command, 0)) {
            return false;
        }
        if (nla_put_u32(message.get(), NL80211_ATTR_IFINDEX, interfaceIndex) < 0) return false;

        Exchange exchange{1, &handler};
        nl_cb_set(callbacks.get(), NL_CB_VALID, NL_CB_CUSTOM, &Nl80211::valid, &exchange);
        nl_cb_set(callbacks.get(), NL_CB_FINISH, NL_CB_CUSTOM, &Nl80211::finished, &exchange);
        nl_cb_set(callbacks.get(), NL_CB_ACK, NL_CB_CUSTOM, &Nl80211::finished, &exchange);
        nl_cb_err(callbacks.get(), NL_CB_CUSTOM, &Nl80211::failed, &exchange);
        if (nl_send_auto(socket_.get(), message.get()) < 0) return false;
        // A plain request ends with the kernel's acknowledgement, a dump with
        // its done message; a dump request is never acknowledged separately.
        while (exchange.status > 0) {
            if (nl_recvmsgs(socket_.get(), callbacks.get()) < 0) return false;
        }
        return exchange.status == 0;
    }

private:
    struct Exchange {
        int status;
        const Handler* handler;
    };

    Nl80211() : socket_(nl_socket_alloc(), nl_socket_free) {}

    static int valid(nl_msg* message, void* argument) {
        auto* exchange = static_cast<Exchange*>(argument);
        auto* header = static_cast<genlmsghdr*>(nlmsg_data(nlmsg_hdr(message)));
        nlattr* attributes[NL80211_ATTR_MAX + 1] = {};
        if (nla_parse(attributes, NL80211_ATTR_MAX, genlmsg_attrdata(header, 0), genlmsg_attrlen(header, 0), nullptr) ==
            0) {
            (*exchange->handler)(attributes);
        }
        return NL_SKIP;
    }

    static int finished(nl_msg*, void* argument) {
        static_cast<Exchange*>(argument)->status = 0;
        return NL_STOP;
    }

    static int failed(sockaddr_nl*, nlmsgerr* error, void* argument) {
        static_cast<Exchange*>(argument)->status = error->error < 0 ? error->error : -1;
        return NL_STOP;
    }

    std::unique_ptr<nl_sock, decltype(&nl_socket_free)> socket_;
    int family_ = -1;
};

// Attribute readers that check the length, so a short attribute reads as absent.
std::optional<std::uint32_t> u32(const nlattr* attribute) {
    if (attribute == nullptr || nla_len(attribute) < 4) return std::nullopt;
    return nla_get_u32(const_cast<nlattr*>(attribute));
}

std::optional<int> s8(const nlattr* attribute) {
    if (attribute == nullptr || nla_len(attribute) < 1) return std::nullopt;
    return static_cast<std::int8_t>(nla_get_u8(const_cast<nlattr*>(attribute)));
}

std::optional<double> bitrate(const nlattr* rate) {
    if (rate == nullptr) return std::nullopt;
    nlattr* info[NL80211_RATE_INFO_MAX + 1] = {};
    if (nla_parse_nested(info, NL80211_RATE_INFO_MAX, const_cast<nlattr*>(rate), nullptr) != 0) return std::nullopt;
    // Both in units of 100 kbit/s; the 32-bit one exists for rates beyond 6.5 Gbit/s.
    if (auto value = u32(info[NL80211_RATE_INFO_BITRATE32])) return *value / 10.0;
    if (info[NL80211_RATE_INFO_BITRATE] != nullptr && nla_len(info[NL80211_RATE_INFO_BITRATE]) >= 2) {
        return nla_get_u16(info[NL80211_RATE_INFO_BITRATE]) / 10.0;
    }
    return std::nullopt;
}

// The access point's signal and our transmit rate. A station interface has
// one station, the access point it is associated with.
void readStation(Nl80211& link, unsigned index, WiFiInfo::Radio& radio) {
    link.request(NL80211_CMD_GET_STATION, true, index, [&](nlattr** attributes) {
        if (radio.signal || attributes[NL80211_ATTR_STA_INFO] == nullptr) return;
        nlattr* station[NL80211_STA_INFO_MAX + 1] = {};
        if (nla_parse_nested(station, NL80211_STA_INFO_MAX, attributes[NL80211_ATTR_STA_INFO], nullptr) != 0) return;
        radio.signal = s8(station[NL80211_STA_INFO_SIGNAL]);
        if (!radio.signal) radio.signal = s8(station[NL80211_STA_INFO_SIGNAL_AVG]);
        radio.transmitRate = bitrate(station[NL80211_STA_INFO_TX_BITRATE]);
    });
}

std::optional<unsigned> interfaceIndex(const std::string& name) {
    if (name.empty() || name.size() >= IF_NAMESIZE) return std::nullopt;
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) return std::nullopt;
    return index;
}

}  // namespace

std::optional<WiFiInfo> WiFiInfo::from(const Radio& radio) {
    if (!radio.signal || *radio.signal == 0) return std::nullopt;
    WiFiInfo info;
    info.rssi = *radio.signal;
    info.noise = radio.noise.value_or(0);
    info.transmitRate = radio.transmitRate.value_or(0);
    if (radio.frequency) {
        info.channel = channelNumber(*radio.frequency);
        info.band = bandName(*radio.frequency);
        if (radio.channelWidth) info.width = widthMHz(*radio.channelWidth);
    }
    return info;
}

std::optional<int> WiFiInfo::channelNumber(std::uint32_t frequency) {
    const int mhz = static_cast<int>(frequency);
    if (mhz == 2484) return 14;
    if (mhz >= 2412 && mhz < 2484) return (mhz - 2407) / 5;
    // The 4.9 GHz public-safety and Japanese channels count from 4000 MHz.
    if (mhz >= 4910 && mhz <= 4980) return (mhz - 4000) / 5;
    if (mhz >= 5000 && mhz < 5925) return (mhz - 5000) / 5;
    if (mhz == 5935) return 2;
    if (mhz >= 5950 && mhz <= 7125) return (mhz - 5950) / 5;
    return std::nullopt;
}

std::optional<std::string> WiFiInfo::bandName(std::uint32_t frequency) {
    if (frequency >= 2400 && frequency < 2500) return "2.4 GHz";
    if (frequency >= 4900 && frequency < 5925) return "5 GHz";
    if (frequency >= 5925 && frequency <= 7125) return "6 GHz";
    return std::nullopt;
}

std::optional<int> WiFiInfo::widthMHz(std::uint32_t channelWidth) {
    switch (channelWidth) {
    case NL80211_CHAN_WIDTH_20_NOHT:
    case NL80211_CHAN_WIDTH_20: return 20;
    case NL80211_CHAN_WIDTH_40: return 40;
    case NL80211_CHAN_WIDTH_80: return 80;
    // Two 80 MHz segments span 160 MHz of spectrum.
    case NL80211_CHAN_WIDTH_80P80:
    case NL80211_CHAN_WIDTH_160: return 160;
    default: return std::nullopt;
    }
}

std::optional<WiFiInfo> WiFiInfo::read(const std::string& interfaceName) {
    const auto index = interfaceIndex(interfaceName);
    if (!index) return std::nullopt;
    auto link = Nl80211::open();
    if (!link) return std::nullopt;

    Radio radio;
    const bool wireless = link->request(NL80211_CMD_GET_INTERFACE, false, *index, [&](nlattr** attributes) {
        radio.frequency = u32(attributes[NL80211_ATTR_WIPHY_FREQ]);
        radio.channelWidth = u32(attributes[NL80211_ATTR_CHANNEL_WIDTH]);
    });
    if (!wireless) return std::nullopt;

    readStation(*link, *index, radio);
    if (!radio.signal || *radio.signal == 0) return std::nullopt;

    // The survey lists every channel the radio has looked at; the noise that
    // matters is the one of the channel in use.
    link->request(NL80211_CMD_GET_SURVEY, true, *index, [&](nlattr** attributes) {
        if (attributes[NL80211_ATTR_SURVEY_INFO] == nullptr) return;
        nlattr* survey[NL80211_SURVEY_INFO_MAX + 1] = {};
        if (nla_parse_nested(survey, NL80211_SURVEY_INFO_MAX, attributes[NL80211_ATTR_SURVEY_INFO], nullptr) != 0) {
            return;
        }
        const bool inUse = survey[NL80211_SURVEY_INFO_IN_USE] != nullptr;
        const bool sameChannel = radio.frequency && u32(survey[NL80211_SURVEY_INFO_FREQUENCY]) == radio.frequency;
        if (!inUse && (!sameChannel || radio.noise)) return;
        if (auto noise = s8(survey[NL80211_SURVEY_INFO_NOISE])) radio.noise = noise;
    });

    return from(radio);
}

std::optional<int> WiFiInfo::readSignal(const std::string& interfaceName) {
    const auto index = interfaceIndex(interfaceName);
    if (!index) return std::nullopt;
    auto link = Nl80211::open();
    if (!link) return std::nullopt;
    Radio radio;
    readStation(*link, *index, radio);
    if (!radio.signal || *radio.signal == 0) return std::nullopt;
    return radio.signal;
}

std::optional<std::string> WiFiInfo::localAddress(const std::string& interfaceName) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);

    std::optional<std::string> ipv6;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr || interfaceName != entry->ifa_name) continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        char text[1025];
        if (getnameinfo(entry->ifa_addr, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
        if (family == AF_INET) return std::string(text);
        if (!ipv6 && std::string_view(text).substr(0, 4) != "fe80") ipv6 = text;
    }
    return ipv6;
}

}  // namespace nerivane
