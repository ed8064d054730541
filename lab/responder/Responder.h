// The lab's echo responder. Kernel echo replies are off in the lab's router
// and internet namespaces; one Responder per namespace answers every ICMP and
// ICMPv6 echo request sent to an address of that namespace, by that address's
// profile, from that address. It can also accept (and at once close) TCP
// connections on given addresses, and serve a tun device as the far end of a
// VPN. Single-threaded: everything happens in run()'s poll loop; profiles are
// re-read on SIGHUP, SIGTERM and SIGINT end the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "NerivaneKit/platform/UniqueFd.h"
#include "NerivaneKit/net/ProbeAddress.h"
#include "lab/responder/ProfileTable.h"

namespace nerivane::lab {

struct ResponderOptions {
    std::string runDirectory;  // holds "profiles"; gets <role>.log, <role>.pid, <role>.loaded
    std::string role;
    std::vector<ProbeAddress> tcpAddresses;
    std::uint16_t tcpPort = 443;
    std::optional<std::string> tunName;  // serve this tun device instead of raw sockets
};

class Responder {
public:
    explicit Responder(ResponderOptions options);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // Opens the log, the sockets (or the tun device) and the signal source,
    // writes the pid file and loads the profiles. Throws std::runtime_error.
    void open();
    // Serves until SIGTERM or SIGINT.
    void run();

private:
    using Clock = std::chrono::steady_clock;

    enum class Channel { icmp4, icmp6, rawIPv6, tun };

    // A reply waiting for its time. The multimap keeps replies due at the
    // same instant in the order they were scheduled.
    struct Outgoing {
        Channel channel = Channel::icmp4;
        std::vector<std::uint8_t> bytes;  // ICMP message, or a whole packet for rawIPv6 and tun
        ProbeAddress from;                // the probed address
        ProbeAddress to;                  // the requester, scoped when link-local
        std::uint32_t interfaceIndex = 0;
    };
    // Bounds the queue under a flood; requests beyond it are dropped.
    static constexpr std::size_t maximumPending = 100'000;

    void loadProfiles();
    void readSignals(bool& running);
    void readICMPv4();
    void readICMPv6();
    void readTun();
    void acceptTCP(int listener);
    // arrivedAt: when the kernel received the request, so that a delay
    // counts from then and not from when this loop got round to it.
    void handleRequest(IPFamily family, const ProbeAddress& requester, const ProbeAddress& probed,
                       std::uint32_t interfaceIndex, std::span<const std::uint8_t> icmp, bool viaTun,
                       Clock::time_point arrivedAt);
    void sendDue();
    void send(const Outgoing& reply);
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::string path(const std::string& name) const;

    ResponderOptions options_;
    std::FILE* log_ = nullptr;
    UniqueFd signals_;
    UniqueFd icmp4_;
    UniqueFd icmp6_;
    UniqueFd rawIPv6_;  // hand-made IPv6 packets: the only way to send a bad ICMPv6 checksum
    UniqueFd tun_;
    std::vector<UniqueFd> listeners_;
    ProfileTable table_;
    std::multimap<Clock::time_point, Outgoing> pending_;
    std::mt19937_64 random_;
    // Per address with a limit: the start of its current one-second window
    // and the answers given in it.
    std::unordered_map<ProbeAddress, std::pair<Clock::time_point, double>> answered_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
};

}  // namespace nerivane::lab
