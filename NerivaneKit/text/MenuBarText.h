// The short texts and trace heights of the menu-bar readout: the latency as
// digits and unit, the status mark and its glyph, and the normalised trace
// levels. Pure functions without state, callable from any thread; the
// readout's layouts, the renderer and the popover use them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "NerivaneKit/analysis/Verdict.h"

namespace nerivane::MenuBarText {

// The widest latency text the readout makes room for.
inline constexpr std::string_view widest = "999ms";

// A latency as the readout shows it: the digits and their unit apart, so a
// square slot can drop the unit and a sentence can space it.
struct Value {
    // "3.4", "43", "1.2", "12"; an em dash for nothing usable.
    std::string digits;
    // "ms" or "s"; empty with the dash.
    std::string unit;

    bool operator==(const Value&) const = default;

    // "3.4ms", "1.2s", "—".
    std::string text() const { return digits + unit; }
};

// Milliseconds below 999.5, then seconds; the dash for no value, a value that
// is not a finite number, or a negative one.
Value digits(std::optional<double> milliseconds);
// "3.4ms", "43ms", "1.2s", "12s", "—": digits(milliseconds).text().
std::string value(std::optional<double> milliseconds);

// The status mark beside the values.
enum class Mark { none, problem, down, paused };

// paused while paused; otherwise problem, down for something down or
// offline, and none while measuring or good.
Mark mark(Verdict verdict, bool paused);
// "!", "×", "‖"; nothing for none.
constexpr std::string_view glyph(Mark mark) {
    switch (mark) {
    case Mark::none: return "";
    case Mark::problem: return "!";
    case Mark::down: return "\u00d7";
    case Mark::paused: return "\u2016";
    }
    return "";
}

// Heights between 0 and 1 in steps of 1/32, one per value, in order. Values
// are scaled by the largest present one, or by floorMilliseconds when that is
// larger; a lost probe (no value) is 0.
std::vector<double> traceLevels(const std::vector<std::optional<double>>& milliseconds, double floorMilliseconds);

}  // namespace nerivane::MenuBarText
