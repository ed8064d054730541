// What the machine was doing during a minute of history, with the texts
// stored in the database and written to CSV. notRunning is never stored: it
// names the gaps in which nothing was recorded.
#pragma once

#include <map>
#include <optional>
#include <string_view>

namespace nerivane {

enum class MinuteState { measured, paused, locked, asleep, offline, notRunning };

constexpr std::string_view text(MinuteState state) {
    switch (state) {
    case MinuteState::measured: return "measured";
    case MinuteState::paused: return "paused";
    case MinuteState::locked: return "locked";
    case MinuteState::asleep: return "asleep";
    case MinuteState::offline: return "offline";
    case MinuteState::notRunning: return "not_running";
    }
    return "";
}

constexpr std::optional<MinuteState> parseMinuteState(std::string_view text) {
    for (auto state : {MinuteState::measured, MinuteState::paused, MinuteState::locked, MinuteState::asleep,
                       MinuteState::offline, MinuteState::notRunning}) {
        if (nerivane::text(state) == text) return state;
    }
    return std::nullopt;
}

// The state that stands for several periods: measured if any was measured,
// otherwise the one with the largest count (minutes or seconds), and among
// equal counts the one whose text sorts last. None for an empty map.
template <class Count>
std::optional<MinuteState> dominantState(const std::map<MinuteState, Count>& counts) {
    if (counts.contains(MinuteState::measured)) return MinuteState::measured;
    std::optional<std::pair<MinuteState, Count>> best;
    for (const auto& [candidate, count] : counts) {
        if (!best || count > best->second || (count == best->second && text(candidate) > text(best->first)))
            best = std::pair{candidate, count};
    }
    if (!best) return std::nullopt;
    return best->first;
}

}  // namespace nerivane
