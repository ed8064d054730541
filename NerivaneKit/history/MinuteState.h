// What the machine was doing during a minute of history, with the texts
// stored in the database and written to CSV. notRunning is never stored: it
// names the gaps in which nothing was recorded.
#pragma once

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

}  // namespace nerivane
