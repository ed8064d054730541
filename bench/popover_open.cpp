// From the click to the popup's first paint, with a full model (six targets,
// full trace buffers, ten recent events) and a 30-day history file behind it;
// then, separately, how long the events card's history read takes after that
// paint. Rendered on the offscreen platform; no network.
#include <benchmark/benchmark.h>

#include <QEvent>
#include <QObject>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>

#include "NerivaneKit/history/Database.h"
#include "NerivaneKit/history/HistoryWriter.h"
#include "support/widgets/PopoverHarness.h"
#include "nerivane/ui/popover/PopoverFooter.h"
#include "nerivane/ui/popover/PopoverWindow.h"

namespace {

using namespace nerivane;
using Clock = std::chrono::steady_clock;

constexpr int days = 30;

// 30 days of per-minute rows for six targets (one probe per target and
// minute: the rows have the shape of a real history's), and an event every
// two hours.
struct HistoryFile {
    std::filesystem::path folder;
    std::string path;

    HistoryFile() {
        std::string pattern = (std::filesystem::temp_directory_path() / "nerivane-popover-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        folder = pattern;
        path = (folder / "history.sqlite").string();
        // Ending now: history applies its retention against the real clock.
        const double end = std::floor(static_cast<double>(std::time(nullptr)) / 60) * 60;
        const double start = end - days * 86400.0;
        namespace scenes = test::scenes;
        const Target targets[] = {scenes::router, scenes::cloudflare, scenes::google, scenes::cloudflare6, scenes::nas,
                                  test::target(TargetRole::custom(1), "example.org", "192.0.2.7")};
        HistoryWriter store(std::make_shared<Database>(path), TimeZone::utc());
        store.prepareSchema();
        // A fixture, not a measurement: no syncs, so it is made in seconds.
        store.database().execute("PRAGMA synchronous = OFF");
        unsigned noise = 12345;
        for (double minute = start; minute < end; minute += 60) {
            for (const auto& target : targets) {
                noise = noise * 1103515245u + 12345u;
                store.record(ProbeRecord{target, ProbeProtocol::icmp, ProbeResult::Reply{3 + (noise >> 16) % 40 / 2.0}, minute + 1});
            }
            if (static_cast<long>(minute - start) % 7200 == 0) {
                store.addEvent({NetworkEvent::Kind::spike, scenes::cloudflare.role, "1.1.1.1", scenes::cloudflare.address, minute,
                                minute + 9, 180.0});
            }
            store.flush(dateFromUnixSeconds(minute + 20), dateFromUnixSeconds(minute + 60), false);
        }
        store.flush(dateFromUnixSeconds(end), dateFromUnixSeconds(end), true);
    }
    ~HistoryFile() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

HistoryFile& historyFile() {
    static HistoryFile file;
    return file;
}

// Notes the first paint of a widget.
class PaintWatch : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) painted = true;
        return false;
    }
};

void BM_ClickToFirstPaint(benchmark::State& state) {
    test::fixLook(false);
    test::PopoverHarness harness(historyFile().path);
    test::scenes::good(harness);
    for (int i = 0; i < 7; ++i) test::scenes::events(harness);
    double readMilliseconds = 0;
    for (auto _ : state) {
        const auto clicked = Clock::now();
        PopoverWindow window;
        window.setView(harness.view().release());
        PaintWatch watch;
        window.view()->footer()->installEventFilter(&watch);
        window.showAnchored(QRect(100, 0, 22, 22));
        while (!watch.painted) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - clicked).count());

        // The history read starts after the paint; it must not delay it.
        bool loaded = false;
        QObject::connect(window.view()->eventsCard(), &EventsCard::loaded, [&] { loaded = true; });
        const auto painted = Clock::now();
        window.view()->eventsCard()->load();
        test::waitForWidgets([&] { return loaded; }, 30000);
        readMilliseconds = std::chrono::duration<double, std::milli>(Clock::now() - painted).count();
        window.hide();
    }
    state.counters["history_read_ms"] = readMilliseconds;
    const HistoryQueries store(std::make_shared<Database>(historyFile().path), TimeZone::utc());
    auto count = [&](const std::string& sql) { return static_cast<double>(*store.database().query(sql).front().front().asInteger()); };
    state.counters["minute_rows"] = count("SELECT count(*) FROM aggregates WHERE seconds = 60");
    state.counters["hour_rows"] = count("SELECT count(*) FROM aggregates WHERE seconds = 3600");
    state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(historyFile().path)) / 1e6;
}
BENCHMARK(BM_ClickToFirstPaint)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
