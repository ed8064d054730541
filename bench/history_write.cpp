// The per-probe and per-minute costs of history: handing one probe record to
// the service's inbox (what the probing side pays), and one regular flush of a
// minute of six targets at one probe per second to a real file.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>

#include "NerivaneKit/history/History.h"
#include "NerivaneKit/history/HistoryWriter.h"
#include "support/HistoryTestSupport.h"

namespace {

constexpr double start = 1773489600;  // 2026-03-14T12:00:00Z

nerivane::Target target(int index) {
    return {nerivane::TargetRole::custom(index), "host" + std::to_string(index),
            nerivane::ProbeAddress::v4({10, 0, 0, static_cast<std::uint8_t>(index + 1)})};
}

void BM_RecordProbeInInbox(benchmark::State& state) {
    auto date = std::make_shared<std::atomic<double>>(start);
    nerivane::History::Options options;
    options.date = [date] { return date->load(); };
    nerivane::History history(std::nullopt, options);
    const std::vector<nerivane::ProbeRecord> probe{
        {target(0), nerivane::ProbeProtocol::icmp, nerivane::ProbeResult::Reply{4.2}, start}};
    std::int64_t handed = 0;
    for (auto _ : state) {
        history.record(probe, nerivane::MinuteState::measured);
        // The service drains about every 10 s; keep the inbox at that scale.
        if (++handed % 10'000 == 0) {
            state.PauseTiming();
            history.tick();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_RecordProbeInInbox);

void BM_RegularFlushOfOneMinute(benchmark::State& state) {
    nerivane::TempFolder folder;
    nerivane::HistoryWriter store(std::make_shared<nerivane::Database>(folder.path("history.sqlite")),
                                  nerivane::TimeZone::utc());
    store.prepareSchema();
    double minute = start;
    for (auto _ : state) {
        state.PauseTiming();
        for (int second = 0; second < 60; ++second) {
            // A third of the replies while downloading, and a counter read a second.
            const auto load = second % 3 ? nerivane::LoadClass::idle : nerivane::LoadClass::download;
            for (int i = 0; i < 6; ++i)
                store.record({target(i), nerivane::ProbeProtocol::icmp, nerivane::ProbeResult::Reply{3.0 + second % 5},
                              minute + second, load});
            store.recordTraffic({minute + second + 1, 1, 2'000, 400'000});
        }
        store.recordRSSI(nerivane::dateFromUnixSeconds(minute + 30), -60);
        minute += 60;
        state.ResumeTiming();
        // A tick 40 s after the minute ended; the rate limit lets it write.
        store.flush(nerivane::dateFromUnixSeconds(minute), nerivane::dateFromUnixSeconds(minute + 40), false);
    }
}
BENCHMARK(BM_RegularFlushOfOneMinute)->Unit(benchmark::kMicrosecond);

}  // namespace
