// What one echo probe costs: the whole round through the prober and the
// kernel to 127.0.0.1 (loopback only), and the pure work of building the
// request, parsing the reply and matching it against the pending table.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/ICMPPacket.h"
#include "NerivaneKit/probing/ICMPProber.h"
#include "NerivaneKit/probing/PendingProbes.h"
#include "NerivaneKit/probing/ProbeError.h"

namespace {

using nerivane::ICMPPacket::Echo;
using nerivane::IPFamily;
using nerivane::ProbeAddress;

const ProbeAddress loopbackV4 = ProbeAddress::v4({127, 0, 0, 1});
const ProbeAddress loopbackV6 = ProbeAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

// send, the kernel's echo over loopback, then drain until the reply is matched.
void roundTrip(benchmark::State& state, const ProbeAddress& target) {
    nerivane::SerialQueue queue("org.nerivane.Nerivane.bench.probe");
    std::size_t replies = 0;
    double rttTotal = 0;
    std::unique_ptr<nerivane::ICMPProber> prober;
    queue.sync([&] {
        prober = std::make_unique<nerivane::ICMPProber>(queue, false, nerivane::Seconds{2.0}, [&](const nerivane::ProbeResult& result) {
            if (result.isReply()) {
                ++replies;
                rttTotal += *result.milliseconds();
            }
        });
    });
    std::string failure;
    // The loop runs on the prober's queue, where its operations must run.
    queue.sync([&] {
        try {
            prober->send(target);  // opens the socket outside the timed loop
            while (replies == 0) prober->drain();
            replies = 0;
            rttTotal = 0;
            for (auto _ : state) {
                const std::size_t before = replies;
                prober->send(target);
                while (replies == before) prober->drain();
            }
        } catch (const nerivane::ProbeError& error) {
            failure = error.what();
        }
        prober.reset();
    });
    if (!failure.empty()) {
        state.SkipWithError(failure.c_str());
        return;
    }
    state.counters["kernel_rtt_us"] = replies ? rttTotal * 1000 / static_cast<double>(replies) : 0;
}

void BM_ProbeRoundTripIPv4(benchmark::State& state) { roundTrip(state, loopbackV4); }
void BM_ProbeRoundTripIPv6(benchmark::State& state) { roundTrip(state, loopbackV6); }
BENCHMARK(BM_ProbeRoundTripIPv4)->UseRealTime();
BENCHMARK(BM_ProbeRoundTripIPv6)->UseRealTime();

// The user-space share of one probe: build the request, record it, parse a
// reply (with the IP header a raw socket delivers) and match it.
void BM_BuildParseMatch(benchmark::State& state) {
    nerivane::PendingProbes pending;
    pending.timeout = std::chrono::seconds(2);
    pending.lateWindow = std::chrono::seconds(30);
    std::uint16_t sequence = 0;
    std::uint64_t token = 0x9e3779b97f4a7c15ull;
    nerivane::Ticks now{std::chrono::seconds(1)};
    std::array<std::uint8_t, 20 + nerivane::ICMPPacket::requestSize> datagram{};
    datagram[0] = 0x45;
    datagram[9] = 1;
    for (auto _ : state) {
        const Echo echo{0x1234, sequence, token};
        auto request = nerivane::ICMPPacket::request(echo, IPFamily::v4);
        benchmark::DoNotOptimize(request);
        pending.record({loopbackV4, sequence, token, now});

        // The reply is the request with type 0 and the checksum adjusted.
        request[0] = nerivane::ICMPPacket::echoReplyV4;
        const std::uint32_t sum = (static_cast<std::uint32_t>(request[2]) << 8 | request[3]) + 0x0800;
        const auto folded = static_cast<std::uint16_t>((sum & 0xffff) + (sum >> 16));
        request[2] = static_cast<std::uint8_t>(folded >> 8);
        request[3] = static_cast<std::uint8_t>(folded);
        std::copy(request.begin(), request.end(), datagram.begin() + 20);

        const auto reply = nerivane::ICMPPacket::parseReply(datagram, IPFamily::v4);
        auto results = pending.match(*reply, loopbackV4, now + std::chrono::microseconds(250));
        benchmark::DoNotOptimize(results);
        ++sequence;
        token = token * 6364136223846793005ull + 1442695040888963407ull;
        now += std::chrono::microseconds(1);
    }
    if (!pending.inFlight.empty()) state.SkipWithError("a reply did not match");
}
BENCHMARK(BM_BuildParseMatch);

void BM_Checksum64(benchmark::State& state) {
    const auto request = nerivane::ICMPPacket::request(Echo{1, 2, 3}, IPFamily::v4);
    for (auto _ : state) benchmark::DoNotOptimize(nerivane::ICMPPacket::checksum(request));
}
BENCHMARK(BM_Checksum64);

// A poll's expiry pass over a table as full as the engine keeps it (six
// targets a second for the 30 s late window) when nothing is due: the usual case.
void BM_ExpireFullTable(benchmark::State& state) {
    nerivane::PendingProbes pending;
    pending.timeout = std::chrono::seconds(2);
    pending.lateWindow = std::chrono::seconds(30);
    const auto at = [](std::int64_t nanoseconds) { return nerivane::Ticks{std::chrono::nanoseconds(nanoseconds)}; };
    const std::int64_t second = 1'000'000'000;
    for (std::uint16_t i = 0; i < 180; ++i) pending.timedOut[i] = {loopbackV4, i, i, at(100 * second + i * second / 6)};
    for (std::uint16_t i = 180; i < 186; ++i) pending.inFlight[i] = {loopbackV4, i, i, at(129 * second + (i - 180) * second / 6)};
    for (auto _ : state) {
        auto lost = pending.expire(at(130 * second));
        benchmark::DoNotOptimize(lost);
    }
    if (pending.timedOut.size() != 180 || pending.inFlight.size() != 6) state.SkipWithError("the table changed");
}
BENCHMARK(BM_ExpireFullTable);

}  // namespace
