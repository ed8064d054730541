#include "NerivaneKit/lookup/DNSProbe.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <optional>

#include "NerivaneKit/lookup/DNSAnswer.h"

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
    case ARES_EBADRESP: return LookupFailure::noAddress;
    default: return LookupFailure::other;
    }
}

struct ServerProbe;

// One question (A or AAAA) of one server: asked over UDP, and again over TCP
// when the UDP reply was cut before an address.
struct Question {
    enum class Result { waiting, address, noAddress, failed };
    ServerProbe* owner = nullptr;
    int type = ns_t_a;
    Result result = Result::waiting;
    bool overTCP = false;

    static void answered(void* arg, int status, int timeouts, unsigned char* answer, int length);
};

// One server's pair of questions; the channels' callbacks write into it.
//
// UDP replies are taken as they come (ARES_FLAG_IGNTC), so that one that is
// cut or oversized is read for what it holds instead of being dropped for a
// TCP connection the server may not accept; only a cut reply without an
// address is asked again over TCP.
struct ServerProbe {
    LookupOutcome outcome;
    std::string name;
    std::chrono::milliseconds timeout{};
    Channel udp;
    Channel tcp;
    std::array<Question, 2> questions;
    Clock::time_point start;
    Clock::time_point last;
    int pending = 0;

    Channel openChannel(int extraFlags) const {
        ares_options options{};
        // NOCHECKRESP: without it c-ares takes SERVFAIL and REFUSED for a
        // dead server and reports a connection failure instead of the answer.
        options.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES | ARES_FLAG_NOCHECKRESP | extraFlags;
        options.timeout = static_cast<int>(timeout.count());
        options.tries = 1;
        ares_channel raw = nullptr;
        const int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
        if (ares_init_options(&raw, &options, mask) != ARES_SUCCESS) return nullptr;
        Channel channel(raw);
        // Only this server, never the ones c-ares found in resolv.conf.
        const bool six = outcome.server.address.find(':') != std::string::npos;
        const std::string csv = (six ? "[" + outcome.server.address + "]" : outcome.server.address) + ":" +
                                std::to_string(outcome.server.port);
        if (ares_set_servers_ports_csv(channel.get(), csv.c_str()) != ARES_SUCCESS) return nullptr;
        return channel;
    }

    bool open() {
        udp = openChannel(ARES_FLAG_IGNTC);
        if (!udp) return false;
        start = Clock::now();
        questions[0] = {this, ns_t_a};
        questions[1] = {this, ns_t_aaaa};
        pending = 2;
        for (auto& question : questions)
            ares_query(udp.get(), name.c_str(), ns_c_in, question.type, &Question::answered, &question);
        return true;
    }

    // Over TCP, for a UDP reply cut before an address.
    void askOverTCP(Question& question) {
        if (!tcp) tcp = openChannel(ARES_FLAG_USEVC);
        if (!tcp) {
            fail(question, LookupFailure::other);
            return;
        }
        ++pending;
        question.overTCP = true;
        ares_query(tcp.get(), name.c_str(), ns_c_in, question.type, &Question::answered, &question);
    }

    // The first failure to arrive names the server's: a closed port's ICMP
    // error ends one question, and the other may be left to time out.
    void fail(Question& question, LookupFailure failure) {
        question.result = Question::Result::failed;
        if (!outcome.failure) outcome.failure = failure;
    }

    std::vector<ares_channel> channels() const {
        std::vector<ares_channel> all;
        if (udp) all.push_back(udp.get());
        if (tcp) all.push_back(tcp.get());
        return all;
    }

    // The questions' results as one outcome: the first failure; a reply
    // without an address when neither question found one; else the time.
    void conclude() {
        if (outcome.failure) return;
        const bool any = std::any_of(questions.begin(), questions.end(), [](const Question& question) {
            return question.result == Question::Result::address;
        });
        if (!any) {
            outcome.failure = LookupFailure::noAddress;
            return;
        }
        outcome.seconds = std::chrono::duration<double>(last - start).count();
    }
};

void Question::answered(void* arg, int status, int /*timeouts*/, unsigned char* answer, int length) {
    auto* self = static_cast<Question*>(arg);
    ServerProbe& probe = *self->owner;
    --probe.pending;
    // Destroying the channel cancels what is left; that is not the server's fault.
    if (status == ARES_EDESTRUCTION || status == ARES_ECANCELLED) return;
    probe.last = Clock::now();
    // NODATA is an answer like any other: whether it holds an address is read below.
    if (status != ARES_SUCCESS && status != ARES_ENODATA) {
        probe.fail(*self, failureOf(status));
        return;
    }
    const auto size = static_cast<std::size_t>(std::max(length, 0));
    const bool cut = !self->overTCP && (DNSAnswer::truncated(answer, size) || size >= DNSAnswer::plainUDPLimit);
    switch (DNSAnswer::read(answer, size, probe.name, self->type, cut)) {
    case DNSAnswer::Kind::address: self->result = Result::address; break;
    case DNSAnswer::Kind::malformed: probe.fail(*self, LookupFailure::noAddress); break;
    case DNSAnswer::Kind::noAddress:
        self->result = Result::noAddress;
        if (cut) probe.askOverTCP(*self);
        break;
    }
}

// Every server at once, one poll over every channel's sockets, until every
// question has ended.
std::vector<LookupOutcome> askAll(const std::vector<ResolverServer>& servers, const std::string& name,
                                  std::chrono::milliseconds timeout) {
    std::vector<std::unique_ptr<ServerProbe>> probes;
    for (const auto& server : servers) {
        auto probe = std::make_unique<ServerProbe>();
        probe->outcome.server = server;
        probe->name = name;
        probe->timeout = timeout;
        if (!probe->open()) {
            probe->udp.reset();
            probe->outcome.failure = LookupFailure::other;
        }
        probes.push_back(std::move(probe));
    }

    const auto busy = [](const auto& probe) { return probe->udp && probe->pending > 0; };
    while (std::any_of(probes.begin(), probes.end(), busy)) {
        std::vector<pollfd> fds;
        std::vector<ares_channel> owners;
        std::optional<Clock::duration> wait;
        for (auto& probe : probes) {
            if (!busy(probe)) continue;
            for (ares_channel channel : probe->channels()) {
                std::array<ares_socket_t, ARES_GETSOCK_MAXNUM> sockets{};
                const int bits = ares_getsock(channel, sockets.data(), ARES_GETSOCK_MAXNUM);
                for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                    short events = 0;
                    if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
                    if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
                    if (events == 0) continue;
                    fds.push_back({sockets[static_cast<std::size_t>(i)], events, 0});
                    owners.push_back(channel);
                }
                timeval limit{};
                if (ares_timeout(channel, nullptr, &limit) != nullptr) {
                    const auto left = std::chrono::seconds(limit.tv_sec) + std::chrono::microseconds(limit.tv_usec);
                    if (!wait || left < *wait) wait = std::chrono::duration_cast<Clock::duration>(left);
                }
            }
        }
        const auto milliseconds = wait ? std::chrono::ceil<std::chrono::milliseconds>(*wait).count() : 100;
        ::poll(fds.data(), fds.size(), static_cast<int>(milliseconds));
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool writable = (fds[i].revents & POLLOUT) != 0;
            ares_process_fd(owners[i], readable ? fds[i].fd : ARES_SOCKET_BAD,
                            writable ? fds[i].fd : ARES_SOCKET_BAD);
        }
        // Time-outs are handled by a call without sockets.
        for (auto& probe : probes) {
            if (!busy(probe)) continue;
            for (ares_channel channel : probe->channels())
                ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        }
    }

    std::vector<LookupOutcome> outcomes;
    for (auto& probe : probes) {
        if (probe->udp) probe->conclude();
        probe->tcp.reset();
        probe->udp.reset();
        outcomes.push_back(probe->outcome);
    }
    return outcomes;
}

}  // namespace

std::vector<LookupOutcome> DNSProbe::probe(const std::vector<ResolverServer>& servers, const std::string& name,
                                           std::chrono::milliseconds timeout, const std::string& fallbackName) {
    initialiseLibrary();
    auto outcomes = askAll(servers, name, timeout);
    if (fallbackName.empty() || fallbackName == name) return outcomes;
    // A server that says the chosen name does not exist is asked for the
    // fallback: a typo in the setting is no fault of the server's.
    std::vector<ResolverServer> denying;
    for (const auto& outcome : outcomes) {
        if (outcome.failure == LookupFailure::nxdomain) denying.push_back(outcome.server);
    }
    if (denying.empty()) return outcomes;
    const auto second = askAll(denying, fallbackName, timeout);
    auto next = second.begin();
    for (auto& outcome : outcomes) {
        if (outcome.failure != LookupFailure::nxdomain) continue;
        outcome = *next++;
        // Only the fallback's answer clears the server; its failure is the server's own.
        if (!outcome.failure) outcome.missingName = name;
    }
    return outcomes;
}

}  // namespace nerivane
