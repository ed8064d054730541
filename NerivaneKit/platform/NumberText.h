// The one style for numbers that people read, on every surface (console,
// popup, notifications, history tool): a space between number and unit, one
// decimal below 9.95 and whole numbers from there, durations in the two
// leading units. Decimal points are "."; a locale-aware caller swaps them.
// Also the rounding of machine outputs (JSON) to microseconds. Pure
// functions, any thread.
#pragma once

#include <optional>
#include <string>

namespace nerivane::NumberText {

// A figure with its unit apart, so a narrow slot can drop the unit.
struct Figure {
    std::string digits;  // "3.4", "43", an em dash for nothing usable
    std::string unit;    // "ms", "s"; empty with the dash

    bool operator==(const Figure&) const = default;

    // "3.4 ms", "—".
    std::string spaced() const { return unit.empty() ? digits : digits + " " + unit; }
    // "3.4ms": the tray's digits only.
    std::string compact() const { return digits + unit; }
};

// "0.4", "9.9", "10", "43": one decimal below 9.95, else whole (halves away from zero).
std::string decimal(double value);

// Milliseconds below 999.5 ms, then seconds; the dash for no value, a value
// that is not a finite number, or a negative one.
Figure millisecondFigure(std::optional<double> milliseconds);
// "3.4 ms", "43 ms", "1.2 s", "12 s", "—".
std::string milliseconds(std::optional<double> milliseconds);

// Rounded to whole seconds, at least 1; the two leading units of h, min and
// s with a zero unit left out, and what lies beyond cut off: "42 s",
// "2 min 5 s", "3 min", "1 h 2 min".
std::string duration(double seconds);

// "850 kbit/s", "1.2 Mbit/s", "950 Mbit/s", "1.5 Gbit/s"; negative counts as 0.
std::string bitRate(double bitsPerSecond);

// Decimal units: "512 B", "12 kB", "1.2 MB", "3.4 GB".
std::string bytes(double bytes);

// "0 %", "4.2 %" below 9.95, then whole ("38 %"); the dash when not finite.
std::string percent(double percent);

// The value at the given number of decimals (3 for milliseconds, 6 for
// seconds: microseconds), so that machine outputs carry no float noise.
double rounded(double value, int decimals);

}  // namespace nerivane::NumberText
