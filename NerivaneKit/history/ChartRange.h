// The three spans of the history chart and their bucket sizes: the last hour
// in minutes, the last day in 10-minute buckets, the last week in hours.
// A plain enumeration with its stored texts; used on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace nerivane {

enum class ChartRange { hour, day, week };

inline constexpr std::array<ChartRange, 3> allChartRanges{ChartRange::hour, ChartRange::day, ChartRange::week};

constexpr std::string_view text(ChartRange range) {
    switch (range) {
    case ChartRange::hour: return "hour";
    case ChartRange::day: return "day";
    case ChartRange::week: return "week";
    }
    return "";
}

constexpr std::optional<ChartRange> parseChartRange(std::string_view text) {
    for (ChartRange range : allChartRanges) {
        if (nerivane::text(range) == text) return range;
    }
    return std::nullopt;
}

constexpr std::int64_t bucketSeconds(ChartRange range) {
    switch (range) {
    case ChartRange::hour: return 60;
    case ChartRange::day: return 600;
    case ChartRange::week: return 3600;
    }
    return 60;
}

// The span in seconds.
constexpr double duration(ChartRange range) {
    switch (range) {
    case ChartRange::hour: return 3600;
    case ChartRange::day: return 86400;
    case ChartRange::week: return 604800;
    }
    return 3600;
}

constexpr std::int64_t bucketCount(ChartRange range) {
    return static_cast<std::int64_t>(duration(range)) / bucketSeconds(range);
}

}  // namespace nerivane
