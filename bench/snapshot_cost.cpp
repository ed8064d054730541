// What one monitor snapshot costs with six targets and full windows (60 s of
// probes at one per second, a few losses and late replies), and what one
// target's metrics cost on their own. A snapshot is built on every engine tick.
#include <benchmark/benchmark.h>

#include <vector>

#include "NerivaneKit/analysis/MonitorCore.h"
#include "bench/SixTargets.h"

namespace {

using namespace nerivane;
using bench::sixTargets;
MonitorTime at(double seconds) { return MonitorTime{Seconds{seconds}}; }

// Replies with some spread, a loss every 17th probe and a late reply every 23rd.
ProbeResult::Outcome outcome(int probe, int target) {
    if ((probe + target) % 17 == 0) return ProbeResult::Lost{};
    if ((probe + target) % 23 == 0) return ProbeResult::Late{2500};
    return ProbeResult::Reply{5.0 + target * 7 + (probe * 37 % 11)};
}

MonitorCore filledCore() {
    MonitorCore core{[](MonitorTime t) { return dateFromUnixSeconds(1'700'000'000) + t.time_since_epoch(); }};
    const auto targets = sixTargets();
    NetworkPath path;
    path.isSatisfied = true;
    path.hasIPv4 = true;
    path.hasIPv6 = true;
    core.install(path, targets, at(0));
    for (const auto& target : targets) core.statusChanged(target.role, TargetStatus::icmp, at(0));
    for (int probe = 0; probe < 120; ++probe) {
        for (int t = 0; t < static_cast<int>(targets.size()); ++t)
            core.result(targets[t].role, outcome(probe, t), at(probe + t * 0.01));
    }
    core.takeProbes();
    return core;
}

void SnapshotSixTargets(benchmark::State& state) {
    MonitorCore core = filledCore();
    double now = 120;
    for (auto _ : state) {
        benchmark::DoNotOptimize(core.snapshot(at(now)));
        now += 0.001;
    }
}
BENCHMARK(SnapshotSixTargets)->Unit(benchmark::kMicrosecond);

void TickAndResultSixTargets(benchmark::State& state) {
    // A steady-state round: one result per target, then the tick's snapshot.
    MonitorCore core = filledCore();
    const auto targets = sixTargets();
    int probe = 120;
    for (auto _ : state) {
        for (int t = 0; t < static_cast<int>(targets.size()); ++t)
            core.result(targets[t].role, outcome(probe, t), at(probe + t * 0.01));
        benchmark::DoNotOptimize(core.tick(at(probe + 0.25)));
        benchmark::DoNotOptimize(core.takeProbes());
        ++probe;
    }
}
BENCHMARK(TickAndResultSixTargets)->Unit(benchmark::kMicrosecond);

void MetricsFullWindow(benchmark::State& state) {
    const MonitorCore core = filledCore();
    const TargetStats& stats = core.records()[1].stats;
    for (auto _ : state) benchmark::DoNotOptimize(stats.metrics());
}
BENCHMARK(MetricsFullWindow)->Unit(benchmark::kMicrosecond);

}  // namespace
