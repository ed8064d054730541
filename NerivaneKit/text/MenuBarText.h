// The short texts and trace heights of the menu-bar readout: the latency
// text, the status glyph and the normalised trace levels. Pure functions
// without state, callable from any thread; the renderer and the popover use them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NerivaneKit/analysis/Verdict.h"

namespace nerivane::MenuBarText {

// The widest latency text the readout makes room for.
inline constexpr std::string_view widest = "999ms";

// "3.4ms", "43ms", "1.2s", "12s"; an em dash for no value, a value that is
// not a finite number, or a negative one.
std::string value(std::optional<double> milliseconds);

// "‖" while paused; otherwise "!" for a problem, "×" for something down or
// offline, and nothing while measuring or good.
std::string mark(Verdict verdict, bool paused);

// Heights between 0 and 1 in steps of 1/32, one per value, in order. Values
// are scaled by the largest present one, or by floorMilliseconds when that is
// larger; a lost probe (no value) is 0.
std::vector<double> traceLevels(const std::vector<std::optional<double>>& milliseconds, double floorMilliseconds);

}  // namespace nerivane::MenuBarText
