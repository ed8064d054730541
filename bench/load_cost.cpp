// What latency under load costs per probing tick: one read of an interface's
// byte counters over rtnetlink (loopback's, so it runs anywhere, best inside
// `unshare -n`), classing one reply against ten minutes of counter intervals,
// and a whole round (results, counters, snapshot) of six targets while an
// upload keeps the link busy.
#include <benchmark/benchmark.h>

#include <vector>

#include "NerivaneKit/analysis/MonitorCore.h"
#include "NerivaneKit/load/LinkCounters.h"
#include "bench/SixTargets.h"

namespace {

using namespace nerivane;
MonitorTime at(double seconds) { return MonitorTime{Seconds{seconds}}; }

void ReadCountersLoopback(benchmark::State& state) {
    LinkCounters counters;
    if (!counters.isOpen() || !counters.read("lo")) {
        state.SkipWithError("no rtnetlink socket or no loopback interface");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(counters.read("lo"));
}
BENCHMARK(ReadCountersLoopback)->Unit(benchmark::kMicrosecond);

// One read a second for ten minutes; every third minute uploads.
TrafficMeter::Reading feed(TrafficMeter& meter, int seconds) {
    TrafficMeter::Reading counters;
    for (int t = 0; t <= seconds; ++t) {
        const bool busy = t / 60 % 3 == 2;
        counters.sentBytes += busy ? 2'500'000 : 2'500;
        counters.receivedBytes += busy ? 60'000 : 2'500;
        meter.read(at(t), dateFromUnixSeconds(1'700'000'000 + t), "eth0", counters, {});
    }
    return counters;
}

void ClassifyReply(benchmark::State& state) {
    TrafficMeter meter;
    feed(meter, 600);
    double from = 300;
    for (auto _ : state) {
        benchmark::DoNotOptimize(meter.classify(at(from), at(from + 0.45)));
        from = from > 590 ? 300 : from + 0.37;
    }
}
BENCHMARK(ClassifyReply)->Unit(benchmark::kNanosecond);

void RoundSixTargetsUnderLoad(benchmark::State& state) {
    const std::vector<Target> targets = bench::sixTargets();
    MonitorCore core{[](MonitorTime t) { return dateFromUnixSeconds(1'700'000'000) + t.time_since_epoch(); }};
    NetworkPath path;
    path.isSatisfied = true;
    path.hasIPv4 = true;
    path.primaryInterface = "eth0";
    core.install(path, targets, at(0));
    for (const auto& target : targets) core.statusChanged(target.role, TargetStatus::icmp, at(0));
    TrafficMeter::Reading counters;
    int second = 0;
    auto round = [&] {
        const bool busy = second / 60 % 3 == 2;
        for (std::size_t i = 0; i < targets.size(); ++i)
            core.result(targets[i].role, ProbeResult::Reply{(busy ? 300.0 : 10.0) + static_cast<double>(i)},
                        at(second));
        counters.sentBytes += busy ? 2'500'000 : 2'500;
        counters.receivedBytes += busy ? 60'000 : 2'500;
        ++second;
        core.counters(at(second), counters);
        auto snapshot = core.tick(at(second));
        core.takeProbes();
        core.takeTraffic();
        return snapshot;
    };
    // Ten minutes in, with two loads behind and one starting.
    while (second < 600 + 150) round();
    for (auto _ : state) benchmark::DoNotOptimize(round());
}
BENCHMARK(RoundSixTargetsUnderLoad)->Unit(benchmark::kMicrosecond);

}  // namespace
