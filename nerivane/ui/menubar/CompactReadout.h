// The readout for a square tray slot: the latency digits (the unit dropped
// for milliseconds, "1.2s" for seconds, a dash without a value), the trace
// behind them where the display style has one, the mark and the dim state.
// A plain value built from the same facts as the wide layout; main thread.
#pragma once

#include <string>

#include "nerivane/core/MenuBarLayout.h"

namespace nerivane {

class AppModel;

struct CompactReadout {
    std::string digits;
    MenuBarLayout::Levels trace;
    MenuBarLayout::Mark mark = MenuBarLayout::Mark::none;
    bool dimmed = false;

    bool operator==(const CompactReadout&) const = default;

    // The internet's value for target both, as the bottom row of the wide one.
    static CompactReadout make(const MonitorSnapshot& snapshot, const std::vector<std::optional<double>>& internet,
                               const std::vector<std::optional<double>>& router, DisplayStyle style,
                               MenuBarTarget target, bool paused);
    static CompactReadout make(AppModel& model);

    // "12ms" -> "12", "0.4ms" -> "0.4", "1.2s" stays, the dash stays.
    static std::string digitsOf(const std::string& valueText);
};

}  // namespace nerivane
