// DNSProbe against a DNS server of the test's own on loopback: each way a
// server can fail (a closed port too) is reported as its kind, replies that
// do not belong to the query (wrong transaction id, wrong source) are
// ignored, never taken as the answer, an answer without an address (or one
// that cannot be read) is a failure, an oversized UDP answer is read for what
// it holds, and a chosen name that does not exist is no fault of the server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "NerivaneKit/lookup/DNSProbe.h"
#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {
namespace {

using Bytes = std::vector<std::uint8_t>;

// noRecords: NOERROR without any record; lyingCount: NOERROR claiming 65,535
// answers, none present; selfPointer: an answer whose owner name is a
// compression pointer to itself; oversized: a 64 KB UDP answer of address
// records without the truncation flag, from a server that takes no TCP;
// onlyDefaultName: NXDOMAIN for every name but the default probe name.
enum class Mode { answer, servfail, refused, nxdomain, silent, spoofedIdFirst, spoofedSourceFirst, truncated, closed,
                  noRecords, lyingCount, selfPointer, oversized, onlyDefaultName };

UniqueFd boundSocket(int type, const char* address, std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    const int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &local.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return UniqueFd();
    return fd;
}

// The query turned into a reply: the header and question kept, an address
// record appended for a NOERROR answer. rcode and the TC bit as asked.
Bytes reply(const Bytes& query, int rcode, bool truncated, std::uint8_t lastOctet = 10) {
    std::size_t end = 12;
    while (end < query.size() && query[end] != 0) end += query[end] + 1u;
    end += 5;  // the root label, type and class
    if (end > query.size()) return {};
    Bytes out(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(end));
    out[2] = static_cast<std::uint8_t>(0x80 | (query[2] & 0x01) | (truncated ? 0x02 : 0));
    out[3] = static_cast<std::uint8_t>(0x80 | rcode);
    out[6] = out[7] = out[8] = out[9] = out[10] = out[11] = 0;
    if (rcode != 0 || truncated) return out;
    const bool six = query[end - 3] == 28;
    out[7] = 1;
    Bytes record{0xc0, 0x0c, 0, static_cast<std::uint8_t>(six ? 28 : 1), 0, 1, 0, 0, 0, 60, 0,
                 static_cast<std::uint8_t>(six ? 16 : 4)};
    out.insert(out.end(), record.begin(), record.end());
    Bytes address(six ? 16 : 4, 0);
    address.front() = six ? 0x20 : 198;
    address.back() = lastOctet;
    out.insert(out.end(), address.begin(), address.end());
    return out;
}

std::string questionName(const Bytes& query) {
    std::string name;
    for (std::size_t at = 12; at < query.size() && query[at] != 0; at += query[at] + 1u) {
        if (!name.empty()) name += '.';
        name.append(query.begin() + static_cast<std::ptrdiff_t>(at + 1),
                    query.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(at + 1 + query[at], query.size())));
    }
    return name;
}

// The answers no honest server gives.
Bytes hostile(const Bytes& query, Mode mode) {
    Bytes out = reply(query, 0, false);
    if (out.empty()) return out;
    const std::size_t question = reply(query, 0, true).size();
    switch (mode) {
    case Mode::noRecords: out.resize(question), out[7] = 0; break;
    case Mode::lyingCount: out.resize(question), out[6] = out[7] = 0xff; break;
    case Mode::selfPointer:
        out[question] = static_cast<std::uint8_t>(0xc0 | question >> 8), out[question + 1] = static_cast<std::uint8_t>(question);
        break;
    case Mode::oversized: {
        const Bytes record(out.begin() + static_cast<std::ptrdiff_t>(question), out.end());
        std::size_t count = 1;
        while (out.size() + record.size() <= 65000) {
            out.insert(out.end(), record.begin(), record.end());
            ++count;
        }
        out[6] = static_cast<std::uint8_t>(count >> 8);
        out[7] = static_cast<std::uint8_t>(count);
        break;
    }
    default: break;
    }
    return out;
}

// A DNS server on 127.0.0.1, UDP and TCP on one port, answering by mode on a
// thread of its own.
class TestServer {
public:
    explicit TestServer(Mode mode) : mode_(mode) {
        udp_ = boundSocket(SOCK_DGRAM, "127.0.0.1", 0);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        tcp_ = boundSocket(SOCK_STREAM, "127.0.0.1", port_);
        ::listen(tcp_.get(), 4);
        other_ = boundSocket(SOCK_DGRAM, "127.0.0.2", 0);
        // Nothing listens on the port any more: the kernel answers "port unreachable".
        if (mode == Mode::closed) udp_ = UniqueFd(), tcp_ = UniqueFd();
        if (mode == Mode::oversized) tcp_ = UniqueFd();
        thread_ = std::thread([this] { run(); });
    }
    ~TestServer() {
        stop_ = true;
        thread_.join();
    }
    ResolverServer server() const { return {"127.0.0.1", port_, ""}; }
    std::atomic<bool> tcpAnswered_{false};

private:
    void run() {
        while (!stop_) {
            pollfd fds[2] = {{udp_.get(), POLLIN, 0}, {tcp_.get(), POLLIN, 0}};
            if (::poll(fds, 2, 20) <= 0) continue;
            if (fds[0].revents & POLLIN) answerUDP();
            if (fds[1].revents & POLLIN) answerTCP();
        }
    }

    void answerUDP() {
        Bytes query(512);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const auto got = ::recvfrom(udp_.get(), query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 12) return;
        query.resize(static_cast<std::size_t>(got));
        auto send = [&](int fd, const Bytes& bytes) {
            ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        };
        switch (mode_) {
        case Mode::answer: send(udp_.get(), reply(query, 0, false)); break;
        case Mode::servfail: send(udp_.get(), reply(query, 2, false)); break;
        case Mode::refused: send(udp_.get(), reply(query, 5, false)); break;
        case Mode::nxdomain: send(udp_.get(), reply(query, 3, false)); break;
        case Mode::silent:
        case Mode::closed: break;
        case Mode::spoofedIdFirst: {
            // A REFUSED with another transaction id, then the real answer.
            Bytes spoofed = reply(query, 5, false);
            spoofed[1] ^= 0x5a;
            send(udp_.get(), spoofed);
            send(udp_.get(), reply(query, 0, false));
            break;
        }
        case Mode::spoofedSourceFirst:
            // The right id from the wrong address, then the real answer.
            send(other_.get(), reply(query, 5, false));
            send(udp_.get(), reply(query, 0, false));
            break;
        case Mode::truncated: send(udp_.get(), reply(query, 0, true)); break;
        case Mode::noRecords:
        case Mode::lyingCount:
        case Mode::selfPointer:
        case Mode::oversized: send(udp_.get(), hostile(query, mode_)); break;
        case Mode::onlyDefaultName:
            send(udp_.get(), reply(query, questionName(query) == "example.com" ? 0 : 3, false));
            break;
        }
    }

    // Every query on the connection (c-ares sends both over one), until it
    // closes or idles.
    void answerTCP() {
        UniqueFd client(::accept4(tcp_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        for (;;) {
            pollfd ready{client.get(), POLLIN, 0};
            if (::poll(&ready, 1, 300) <= 0) return;
            std::uint8_t size[2];
            if (::recv(client.get(), size, 2, MSG_WAITALL) != 2) return;
            Bytes query(static_cast<std::size_t>(size[0] << 8 | size[1]));
            if (::recv(client.get(), query.data(), query.size(), MSG_WAITALL) != static_cast<ssize_t>(query.size()))
                return;
            Bytes out = reply(query, 0, false, 53);
            Bytes framed{static_cast<std::uint8_t>(out.size() >> 8), static_cast<std::uint8_t>(out.size())};
            framed.insert(framed.end(), out.begin(), out.end());
            ::send(client.get(), framed.data(), framed.size(), MSG_NOSIGNAL);
            tcpAnswered_ = true;
        }
    }

    Mode mode_;
    UniqueFd udp_, tcp_, other_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(DNSProbe, ReportsEachFailureByKindAndTakesOnlyAnAddressForTheNameAsAnAnswer) {
    constexpr std::chrono::milliseconds timeout{400};
    // missingName: the probe name, when the server said it does not exist but knew the default.
    struct Case { const char* name; Mode mode; std::optional<LookupFailure> failure; std::string missingName = {}; };
    const Case cases[] = {
        {"answer", Mode::answer, std::nullopt},
        {"servfail", Mode::servfail, LookupFailure::servfail},
        {"refused", Mode::refused, LookupFailure::refused},
        {"no name exists, not even the default", Mode::nxdomain, LookupFailure::nxdomain},
        {"silent", Mode::silent, LookupFailure::timeout},
        {"wrong transaction id first", Mode::spoofedIdFirst, std::nullopt},
        {"wrong source first", Mode::spoofedSourceFirst, std::nullopt},
        {"truncated, then over TCP", Mode::truncated, std::nullopt},
        {"closed port", Mode::closed, LookupFailure::unreachable},
        {"NOERROR without an address", Mode::noRecords, LookupFailure::noAddress},
        {"an answer count that lies", Mode::lyingCount, LookupFailure::noAddress},
        {"a name pointing at itself", Mode::selfPointer, LookupFailure::noAddress},
        {"64 KB over UDP without the truncation flag, no TCP", Mode::oversized, std::nullopt},
        {"the chosen name does not exist, the default does", Mode::onlyDefaultName, std::nullopt, "probe.example"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server(c.mode);
        const auto outcomes = DNSProbe::probe({server.server()}, "probe.example", timeout, "example.com");
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].server, server.server());
        EXPECT_EQ(outcomes[0].failure, c.failure);
        EXPECT_EQ(outcomes[0].missingName, c.missingName);
        EXPECT_EQ(outcomes[0].seconds.has_value(), !c.failure.has_value());
        EXPECT_LT(outcomes[0].seconds.value_or(0), timeout.count() / 1000.0);
        // TCP only after a truncated answer.
        EXPECT_EQ(server.tcpAnswered_, c.mode == Mode::truncated);
    }
}

}  // namespace
}  // namespace nerivane
