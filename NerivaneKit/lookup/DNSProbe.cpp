#include "NerivaneKit/lookup/DNSProbe.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <optional>

namespace nerivane {
namespace {

using Clock = std::chrono::steady_clock;

// c-ares wants its global set-up once per process before the first channel.
void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

struct ChannelCloser {
    void operator()(ares_channel channel) const { ares_destroy(channel); }
};
using Channel = std::unique_ptr<std::remove_pointer_t<ares_channel>, ChannelCloser>;

LookupFailure failureOf(int status) {
    switch (status) {
    case ARES_ETIMEOUT: return LookupFailure::timeout;
    case ARES_ESERVFAIL: return LookupFailure::servfail;
    case ARES_EREFUSED: return LookupFailure::refused;
    case ARES_ENOTFOUND: return LookupFailure::nxdomain;
    case ARES_ECONNREFUSED: return LookupFailure::unreachable;
    default: return LookupFailure::other;
    }
}

// One server's pair of queries; the channel's callbacks write into it.
struct ServerProbe {
    LookupOutcome outcome;
    Channel channel;
    Clock::time_point start;
    int pending = 0;
    Clock::time_point last;

    static void answered(void* arg, int status, int /*timeouts*/, unsigned char* /*answer*/, int /*length*/) {
        auto* self = static_cast<ServerProbe*>(arg);
        --self->pending;
        self->last = Clock::now();
        // NODATA is an answer: the name exists, just not with this record type.
        if (status == ARES_SUCCESS || status == ARES_ENODATA) return;
        // Destroying the channel cancels what is left; that is not the server's fault.
        if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED) return;
        if (!self->outcome.failure) self->outcome.failure = failureOf(status);
    }

    bool open(const std::string& name, std::chrono::milliseconds timeout) {
        ares_options options{};
        // NOCHECKRESP: without it c-ares takes SERVFAIL and REFUSED for a
        // dead server and reports a connection failure instead of the answer.
        options.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES | ARES_FLAG_NOCHECKRESP;
        options.timeout = static_cast<int>(timeout.count());
        options.tries = 1;
        ares_channel raw = nullptr;
        const int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
        if (ares_init_options(&raw, &options, mask) != ARES_SUCCESS) return false;
        channel.reset(raw);
        // Only this server, never the ones c-ares found in resolv.conf.
        const bool six = outcome.server.address.find(':') != std::string::npos;
        const std::string csv = (six ? "[" + outcome.server.address + "]" : outcome.server.address) + ":" +
                                std::to_string(outcome.server.port);
        if (ares_set_servers_ports_csv(channel.get(), csv.c_str()) != ARES_SUCCESS) return false;
        start = Clock::now();
        pending = 2;
        ares_query(channel.get(), name.c_str(), ns_c_in, ns_t_a, &ServerProbe::answered, this);
        ares_query(channel.get(), name.c_str(), ns_c_in, ns_t_aaaa, &ServerProbe::answered, this);
        return true;
    }
};

}  // namespace

std::vector<LookupOutcome> DNSProbe::probe(const std::vector<ResolverServer>& servers, const std::string& name,
                                           std::chrono::milliseconds timeout) {
    initialiseLibrary();
    std::vector<std::unique_ptr<ServerProbe>> probes;
    for (const auto& server : servers) {
        auto probe = std::make_unique<ServerProbe>();
        probe->outcome.server = server;
        if (!probe->open(name, timeout)) {
            probe->channel.reset();
            probe->outcome.failure = LookupFailure::other;
        }
        probes.push_back(std::move(probe));
    }

    // One poll over every channel's sockets until every query has ended.
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<ServerProbe*> owners;
        std::optional<Clock::duration> wait;
        for (auto& probe : probes) {
            if (!probe->channel || probe->pending == 0) continue;
            std::array<ares_socket_t, ARES_GETSOCK_MAXNUM> sockets{};
            const int bits = ares_getsock(probe->channel.get(), sockets.data(), ARES_GETSOCK_MAXNUM);
            for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                short events = 0;
                if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
                if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
                if (events == 0) continue;
                fds.push_back({sockets[static_cast<std::size_t>(i)], events, 0});
                owners.push_back(probe.get());
            }
            timeval limit{};
            if (ares_timeout(probe->channel.get(), nullptr, &limit) != nullptr) {
                const auto left = std::chrono::seconds(limit.tv_sec) + std::chrono::microseconds(limit.tv_usec);
                if (!wait || left < *wait) wait = std::chrono::duration_cast<Clock::duration>(left);
            }
        }
        if (owners.empty() && !wait) break;
        const auto milliseconds = wait ? std::chrono::ceil<std::chrono::milliseconds>(*wait).count() : 100;
        ::poll(fds.data(), fds.size(), static_cast<int>(milliseconds));
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool writable = (fds[i].revents & POLLOUT) != 0;
            ares_process_fd(owners[i]->channel.get(), readable ? fds[i].fd : ARES_SOCKET_BAD,
                            writable ? fds[i].fd : ARES_SOCKET_BAD);
        }
        // Time-outs are handled by a call without sockets.
        for (auto& probe : probes) {
            if (probe->channel && probe->pending > 0)
                ares_process_fd(probe->channel.get(), ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        }
        const bool done = std::all_of(probes.begin(), probes.end(),
                                      [](const auto& probe) { return !probe->channel || probe->pending == 0; });
        if (done) break;
    }

    std::vector<LookupOutcome> outcomes;
    for (auto& probe : probes) {
        if (probe->channel && !probe->outcome.failure)
            probe->outcome.seconds = std::chrono::duration<double>(probe->last - probe->start).count();
        probe->channel.reset();
        outcomes.push_back(probe->outcome);
    }
    return outcomes;
}

}  // namespace nerivane
