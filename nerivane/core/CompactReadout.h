// The readout for a square tray slot: the latency digits (the unit dropped
// for milliseconds, "1.2s" for seconds, a dash without a value; none for the
// trace style, whose trace then stands alone at full strength), the trace
// behind them where the display style has one, the mark and the dim state.
// For target both, the router's value and trace too (the renderer stacks them
// where the slot has room) and the router's state for a corner dot where it
// has not. A plain value built from the same facts as the wide layout, like
// it free of drawing; made on the main thread.
#pragma once

#include <string>

#include "nerivane/core/MenuBarLayout.h"

namespace nerivane {

class AppModel;

struct CompactReadout {
    // The router's state as the compact readout shows it beside the internet's value.
    enum class Router { none, ok, problem, down };

    // Empty only for the trace style.
    std::string digits;
    MenuBarLayout::Levels trace;
    // Target both only: the router's digits (empty for the trace style), trace and state.
    std::string routerDigits;
    MenuBarLayout::Levels routerTrace;
    Router router = Router::none;
    MenuBarLayout::Mark mark = MenuBarLayout::Mark::none;
    bool dimmed = false;

    bool operator==(const CompactReadout&) const = default;

    // The internet's value for target both, as the bottom row of the wide one.
    static CompactReadout make(const MonitorSnapshot& snapshot, const std::vector<std::optional<double>>& internet,
                               const std::vector<std::optional<double>>& router, DisplayStyle style,
                               MenuBarTarget target, bool paused);
    static CompactReadout make(AppModel& model);

    // Digits alone for milliseconds ("12", "0.4"), with the unit for seconds ("1.2s"), the dash as it is.
    static std::string digitsOf(const MenuBarText::Value& value);
    // ok, problem (slow or lossy) or down for a measured router; none without one.
    static Router routerState(const MonitorSnapshot& snapshot);
};

}  // namespace nerivane
