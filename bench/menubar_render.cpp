// What drawing the tray readout costs: the wide layout (trace, stacked text,
// mark) and the compact readout of a square slot, each with cold caches (a
// new renderer: fonts measured, glyph cells rasterised, canvases made) and
// warm (the steady state, one render per snapshot), and the whole icon set
// the tray item hands over on a change. The goal is under 50 µs warm.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <cstdlib>

#include "nerivane/ui/menubar/MenuBarRenderer.h"

namespace {

using namespace nerivane;

void application() {
    static int argc = 1;
    static char name[] = "bench_menubar_render";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
}

MonitorSnapshot snapshot(double latest) {
    MonitorSnapshot snapshot;
    snapshot.verdict = Verdict::internetProblem;
    TargetSnapshot internet;
    internet.target = {TargetRole::internet(0), "1.1.1.1", *ProbeAddress::parse("1.1.1.1")};
    internet.status = TargetStatus::icmp;
    internet.state = TargetState::bad(Problems::loss());
    internet.metrics.latest = latest;
    snapshot.targets.push_back(internet);
    return snapshot;
}

std::vector<std::optional<double>> trace(int shift) {
    std::vector<std::optional<double>> values;
    for (int i = 0; i < 28; ++i) values.push_back(i % 9 == 0 ? std::nullopt : std::optional<double>(10 + (i + shift) % 7 * 3));
    return values;
}

// Two layouts in turn, as consecutive snapshots with different values.
MenuBarLayout wide(int i) {
    return MenuBarLayout::make(snapshot(i % 2 == 0 ? 12.4 : 13.1), trace(i % 2), {}, DisplayStyle::textAndTrace,
                               MenuBarTarget::internet, false);
}

CompactReadout compact(int i) {
    return CompactReadout::make(snapshot(i % 2 == 0 ? 12.4 : 13.1), trace(i % 2), {}, DisplayStyle::textAndTrace,
                                MenuBarTarget::internet, false);
}

void WideCold(benchmark::State& state) {
    application();
    const auto layout = wide(0);
    for (auto _ : state) {
        MenuBarRenderer renderer;
        benchmark::DoNotOptimize(renderer.render(layout, TrayAppearance{}, 2));
    }
}
BENCHMARK(WideCold);

void WideWarm(benchmark::State& state) {
    application();
    MenuBarRenderer renderer;
    const MenuBarLayout layouts[] = {wide(0), wide(1)};
    renderer.render(layouts[0], TrayAppearance{}, 2);
    renderer.render(layouts[1], TrayAppearance{}, 2);
    int i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(renderer.render(layouts[i++ % 2], TrayAppearance{}, 2));
}
BENCHMARK(WideWarm);

void CompactCold(benchmark::State& state) {
    application();
    const auto readout = compact(0);
    for (auto _ : state) {
        MenuBarRenderer renderer;
        benchmark::DoNotOptimize(renderer.renderCompact(readout, TrayAppearance{}, 22));
    }
}
BENCHMARK(CompactCold);

void CompactWarm(benchmark::State& state) {
    application();
    MenuBarRenderer renderer;
    const CompactReadout readouts[] = {compact(0), compact(1)};
    renderer.renderCompact(readouts[0], TrayAppearance{}, 22);
    int i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(renderer.renderCompact(readouts[i++ % 2], TrayAppearance{}, 22));
}
BENCHMARK(CompactWarm);

// 16, 22, 24, 32 and 48 px: what one change of the tray item costs.
void IconSetWarm(benchmark::State& state) {
    application();
    MenuBarRenderer renderer;
    const CompactReadout readouts[] = {compact(0), compact(1)};
    int i = 0;
    for (auto _ : state)
        for (const int side : {16, 22, 24, 32, 48})
            benchmark::DoNotOptimize(renderer.renderCompact(readouts[i++ % 2], TrayAppearance{}, side));
}
BENCHMARK(IconSetWarm);

}  // namespace
