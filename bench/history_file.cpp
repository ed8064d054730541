// A 30-day history of six targets probed once a second, generated through the
// real write path (record, regular flushes, hourly roll-up and retention) with
// simulated time; then the size of its file and the cost of the reads that
// run on it: the week chart (and its former, unbounded form) and the "all"
// measurements export, as one text (the save dialog's) and streamed (the
// command-line tool's); the report of a week and of a month, read and written.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "NerivaneKit/history/HistoryCSV.h"
#include "NerivaneKit/history/HistoryChart.h"
#include "NerivaneKit/history/HistoryReport.h"
#include "NerivaneKit/history/HistoryReportPage.h"
#include "NerivaneKit/history/HistoryWriter.h"

namespace {

using namespace std::chrono_literals;
using nerivane::dateFromUnixSeconds;
using nerivane::HistoryQueries;
using nerivane::HistoryWriter;

constexpr double start = 1773489600;  // 2026-03-14T12:00:00Z

// NERIVANE_BENCH_DAYS shortens the history (the test that keeps the benchmark
// running uses one day); NERIVANE_BENCH_KEEP copies the file there to look into.
int days() {
    const char* value = std::getenv("NERIVANE_BENCH_DAYS");
    const int given = value ? std::atoi(value) : 0;
    return given > 0 ? given : 30;
}
const int historyDays = days();
const double end = start + historyDays * 86400.0;

struct GeneratedHistory {
    std::filesystem::path folder;
    std::string path;
    double seconds = 0;
    std::uintmax_t bytes = 0;

    GeneratedHistory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "nerivane-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        folder = pattern;
        path = (folder / "history.sqlite").string();

        const nerivane::Target targets[] = {
            {nerivane::TargetRole::router(), "router", *nerivane::ProbeAddress::parse("192.168.1.1")},
            {nerivane::TargetRole::internet(0), "1.1.1.1", *nerivane::ProbeAddress::parse("1.1.1.1")},
            {nerivane::TargetRole::internet(1), "8.8.8.8", *nerivane::ProbeAddress::parse("8.8.8.8")},
            {nerivane::TargetRole::internetIPv6(), "1.1.1.1", *nerivane::ProbeAddress::parse("2606:4700:4700::1111")},
            {nerivane::TargetRole::custom(0), "nas.lan", *nerivane::ProbeAddress::parse("192.168.1.20")},
            {nerivane::TargetRole::custom(1), "example.org", *nerivane::ProbeAddress::parse("93.184.216.34")},
        };
        const auto began = std::chrono::steady_clock::now();
        {
            HistoryWriter store(std::make_shared<nerivane::Database>(path), nerivane::TimeZone::utc());
            store.prepareSchema();
            // 43200 commits: without a sync per commit the generator takes
            // seconds instead of minutes; the file's content is the same.
            store.database().execute("PRAGMA synchronous = NORMAL");
            unsigned noise = 12345;
            for (double minute = start; minute < end; minute += 60) {
                for (int second = 0; second < 60; ++second) {
                    for (const auto& target : targets) {
                        noise = noise * 1103515245u + 12345u;
                        const double at = minute + second + (noise % 1000) / 1000.0;
                        nerivane::ProbeResult::Outcome outcome = nerivane::ProbeResult::Reply{3 + (noise >> 16) % 40 / 2.0};
                        if ((noise >> 8) % 200 == 0) outcome = nerivane::ProbeResult::Lost{};
                        store.record(nerivane::ProbeRecord{target, nerivane::ProbeProtocol::icmp, outcome, at});
                    }
                }
                store.recordRSSI(dateFromUnixSeconds(minute + 30), -55 - static_cast<int>(noise % 10));
                // The service's regular flush: cut-off 40 s back, at most once a minute.
                const double now = minute + 60;
                store.flush(dateFromUnixSeconds(now - 40), dateFromUnixSeconds(now), false);
            }
            store.flush(dateFromUnixSeconds(end), dateFromUnixSeconds(end), true);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        bytes = std::filesystem::file_size(path);
        if (const char* keep = std::getenv("NERIVANE_BENCH_KEEP"))
            std::filesystem::copy_file(path, keep, std::filesystem::copy_options::overwrite_existing);
    }
    ~GeneratedHistory() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

GeneratedHistory& history() {
    static GeneratedHistory generated;
    return generated;
}

HistoryQueries openGenerated() {
    HistoryWriter writer(std::make_shared<nerivane::Database>(history().path), nerivane::TimeZone::utc());
    writer.prepareSchema();
    return writer.queries();
}

void BM_ThirtyDayFile(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(history().bytes);
    const HistoryQueries store = openGenerated();
    auto count = [&](const std::string& sql) { return static_cast<double>(*store.database().query(sql).front().front().asInteger()); };
    state.counters["file_MB"] = static_cast<double>(history().bytes) / 1e6;
    state.counters["generate_s"] = history().seconds;
    state.counters["minute_rows"] = count("SELECT count(*) FROM aggregates WHERE seconds = 60");
    state.counters["hour_rows"] = count("SELECT count(*) FROM aggregates WHERE seconds = 3600");
}
BENCHMARK(BM_ThirtyDayFile)->Iterations(1)->Unit(benchmark::kSecond);

void BM_WeekChartRead(benchmark::State& state) {
    const HistoryQueries store = openGenerated();
    for (auto _ : state) {
        auto buckets = nerivane::HistoryChart::read(store, nerivane::ChartRange::week, nerivane::TargetRole::internet(0), dateFromUnixSeconds(end));
        benchmark::DoNotOptimize(buckets);
    }
}
BENCHMARK(BM_WeekChartRead)->Unit(benchmark::kMillisecond);

// The week read as it was before its start range: rows selected by their end
// only, which the index cannot bound from below. Kept to compare in one run.
void BM_WeekChartReadByEndOnly(benchmark::State& state) {
    using Value = nerivane::Database::Value;
    const HistoryQueries store = openGenerated();
    const auto range = nerivane::ChartRange::week;
    const auto role = nerivane::TargetRole::internet(0);
    for (auto _ : state) {
        const std::vector<Value> window{Value::real(nerivane::HistoryChart::windowStart(range, dateFromUnixSeconds(end))), Value::real(end)};
        auto periods = store.periods("start + seconds > ? AND start < ?", window);
        auto aggregates =
            store.aggregates("start + seconds > ? AND start < ? AND role = ?", {window[0], window[1], Value::text(role.text())});
        auto buckets = nerivane::HistoryChart::buckets(range, role, periods, aggregates, dateFromUnixSeconds(end));
        benchmark::DoNotOptimize(buckets);
    }
}
BENCHMARK(BM_WeekChartReadByEndOnly)->Unit(benchmark::kMillisecond);

void BM_ExportAllMeasurements(benchmark::State& state) {
    const HistoryQueries store = openGenerated();
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto text = nerivane::HistoryCSV::exportAggregates(store, dateFromUnixSeconds(end - historyDays * 86400.0), dateFromUnixSeconds(end),
                                                           dateFromUnixSeconds(end));
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["csv_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ExportAllMeasurements)->Unit(benchmark::kMillisecond);

void BM_ExportAllMeasurementsStreamed(benchmark::State& state) {
    const HistoryQueries store = openGenerated();
    std::size_t bytes = 0;
    for (auto _ : state) {
        // Streamed, as the command-line tool writes it: the pieces are counted, not kept.
        bytes = 0;
        nerivane::HistoryCSV::exportAggregates(store, dateFromUnixSeconds(end - historyDays * 86400.0), dateFromUnixSeconds(end),
                                               dateFromUnixSeconds(end),
                                               [&](std::string_view piece) { bytes += piece.size(); });
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["csv_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ExportAllMeasurementsStreamed)->Unit(benchmark::kMillisecond);

void BM_Report(benchmark::State& state) {
    const HistoryQueries store = openGenerated();
    const auto span = static_cast<nerivane::HistoryReport::Span>(state.range(0));
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto page = nerivane::HistoryReportPage::html(nerivane::HistoryReport::read(store, span, dateFromUnixSeconds(end)), {});
        bytes = page.size();
        benchmark::DoNotOptimize(page);
    }
    state.SetLabel(std::string(nerivane::HistoryReport::text(span)));
    state.counters["html_KB"] = static_cast<double>(bytes) / 1e3;
}
BENCHMARK(BM_Report)
    ->Arg(static_cast<int>(nerivane::HistoryReport::Span::week))
    ->Arg(static_cast<int>(nerivane::HistoryReport::Span::month))
    ->Unit(benchmark::kMillisecond);

}  // namespace
