// What drawing the tray readout costs: the wide layout (trace, stacked text,
// mark) and the compact readout of a square slot, each with cold caches (a
// new renderer: fonts measured, glyph cells rasterised, canvases made) and
// warm (the steady state, one render per snapshot), and the whole icon set
// the tray item hands over on a change. The goal is under 50 µs warm.
// With NERIVANE_PICTURES set to a folder, the readouts timed here (and their
// paused, down and light variants) are written there as PNG first, so that
// a change to the renderer can be compared pixel by pixel.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QGuiApplication>
#include <cstdlib>

#include "nerivane/ui/menubar/MenuBarRenderer.h"

namespace {

using namespace nerivane;

void writePictures();

void application() {
    static int argc = 1;
    static char name[] = "bench_menubar_render";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        auto* made = new QGuiApplication(argc, argv);
        writePictures();
        return made;
    }();
    (void)app;
}

MonitorSnapshot snapshot(double latest, Verdict verdict = Verdict::internetProblem) {
    MonitorSnapshot snapshot;
    snapshot.verdict = verdict;
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

void writePictures() {
    const QByteArray folder = qgetenv("NERIVANE_PICTURES");
    if (folder.isEmpty()) return;
    const QDir dir(QString::fromUtf8(folder));
    const TrayAppearance dark;
    const auto light = TrayAppearance::resolve(std::nullopt, 2u);
    MenuBarRenderer renderer;
    const auto save = [&](const QImage& image, const QString& name) { image.save(dir.filePath(name + ".png")); };
    for (int i = 0; i < 2; ++i) {
        save(*renderer.render(wide(i), dark, 2), QStringLiteral("wide-%1").arg(i));
        save(*renderer.render(wide(i), light, 1.5), QStringLiteral("wide-light-%1").arg(i));
    }
    const auto paused = MenuBarLayout::make(snapshot(12.4, Verdict::good), trace(0), trace(1), DisplayStyle::textAndTrace,
                                            MenuBarTarget::both, true);
    save(*renderer.render(paused, dark, 2), QStringLiteral("wide-paused"));
    const auto down = MenuBarLayout::make(snapshot(12.4, Verdict::internetDown), trace(0), trace(1), DisplayStyle::trace,
                                          MenuBarTarget::both, false);
    save(*renderer.render(down, light, 2), QStringLiteral("wide-down"));
    const CompactReadout compacts[] = {
        compact(0), compact(1),
        CompactReadout::make(snapshot(1234, Verdict::good), trace(1), {}, DisplayStyle::textAndTrace,
                             MenuBarTarget::internet, true),
        CompactReadout::make(snapshot(8.2, Verdict::internetDown), trace(0), {}, DisplayStyle::trace,
                             MenuBarTarget::internet, false)};
    for (std::size_t c = 0; c < std::size(compacts); ++c)
        for (const auto& appearance : {dark, light})
            for (const int side : {16, 22, 24, 32, 48})
                for (const double scale : {1.0, 2.0})
                    save(renderer.renderCompact(compacts[c], appearance, static_cast<int>(side * scale), scale),
                         QStringLiteral("compact-%1-%2-%3@%4").arg(c).arg(appearance.name).arg(side).arg(scale));
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
