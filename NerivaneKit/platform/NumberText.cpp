#include "NerivaneKit/platform/NumberText.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace nerivane::NumberText {
namespace {

constexpr const char* emDash = "\u2014";

std::string formatted(const char* format, double number) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, number);
    return buffer;
}

// A figure with the decimals rule and its unit, for scaled quantities.
std::string scaled(double value, const char* unit) { return decimal(value) + " " + unit; }

}  // namespace

std::string decimal(double value) {
    if (std::fabs(value) < 9.95) return formatted("%.1f", value);
    // std::round rounds halves away from zero.
    return formatted("%.0f", std::round(value));
}

Figure millisecondFigure(std::optional<double> milliseconds) {
    if (!milliseconds || !std::isfinite(*milliseconds) || *milliseconds < 0) return {emDash, ""};
    const double v = *milliseconds;
    if (v < 999.5) return {decimal(v), "ms"};
    return {decimal(v / 1000), "s"};
}

std::string milliseconds(std::optional<double> value) { return millisecondFigure(value).spaced(); }

std::string duration(double seconds) {
    // NaN counts as nothing: the least duration.
    double whole = std::isnan(seconds) ? 1 : std::round(seconds);
    whole = std::clamp(whole, 1.0, 1e15);
    const auto total = static_cast<long long>(whole);
    const std::array<long long, 3> values{total / 3600, total % 3600 / 60, total % 60};
    const std::array<const char*, 3> units{"h", "min", "s"};
    std::size_t first = 0;
    while (values[first] == 0) ++first;
    std::string text;
    for (std::size_t i = first; i < values.size() && i < first + 2; ++i) {
        if (values[i] == 0) continue;
        if (!text.empty()) text += ' ';
        text += std::to_string(values[i]) + " " + units[i];
    }
    return text;
}

std::string bitRate(double bitsPerSecond) {
    const double bits = std::isfinite(bitsPerSecond) ? std::max(bitsPerSecond, 0.0) : 0.0;
    if (bits >= 999.5e6) return scaled(bits / 1e9, "Gbit/s");
    if (bits >= 999.5e3) return scaled(bits / 1e6, "Mbit/s");
    return formatted("%.0f", std::round(bits / 1e3)) + " kbit/s";
}

std::string bytes(double count) {
    const double value = std::isfinite(count) ? std::max(count, 0.0) : 0.0;
    if (value >= 999.5e9) return scaled(value / 1e12, "TB");
    if (value >= 999.5e6) return scaled(value / 1e9, "GB");
    if (value >= 999.5e3) return scaled(value / 1e6, "MB");
    if (value >= 999.5) return scaled(value / 1e3, "kB");
    return formatted("%.0f", std::round(value)) + " B";
}

std::string percent(double value) {
    if (!std::isfinite(value)) return emDash;
    if (value == 0) return "0 %";
    return decimal(value) + " %";
}

double rounded(double value, int decimals) {
    if (!std::isfinite(value)) return value;
    const double scale = std::pow(10.0, decimals);
    const double result = std::round(value * scale) / scale;
    // No "-0" in the output.
    return result == 0 ? 0.0 : result;
}

}  // namespace nerivane::NumberText
