// A configured host that is not probed because its name has no address yet:
// still being looked up, or not found (the engine asks again with a back-off).
// A plain value; the engine reports the list on its probe queue and the
// monitor's snapshots carry it to the front ends.
#pragma once

#include <string>
#include <string_view>

#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {

struct HostLookup {
    enum class State { lookingUp, notFound };

    TargetRole role;
    std::string host;
    State state = State::lookingUp;

    bool operator==(const HostLookup&) const = default;

    // What the card and the terminal show in the target's place.
    std::string shownText() const {
        return state == State::lookingUp ? "Looking up " + host + "\u2026" : host + " not found";
    }
};

// The case name, for log lines and the JSON readouts.
constexpr std::string_view text(HostLookup::State state) {
    switch (state) {
    case HostLookup::State::lookingUp: return "lookingUp";
    case HostLookup::State::notFound: return "notFound";
    }
    return "";
}

}  // namespace nerivane
