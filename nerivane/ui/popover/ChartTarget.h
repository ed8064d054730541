// Which role the history chart shows: the internet hosts or the router. A
// popup setting kept in PopoverState, with its stored text.
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class ChartTarget { internet, router };

constexpr std::string_view text(ChartTarget target) { return target == ChartTarget::internet ? "internet" : "router"; }

constexpr std::optional<ChartTarget> parseChartTarget(std::string_view text) {
    if (text == "internet") return ChartTarget::internet;
    if (text == "router") return ChartTarget::router;
    return std::nullopt;
}

}  // namespace nerivane
