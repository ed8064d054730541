// What the events card's export menu hands to the export action: the kind of
// file and the span of history, with the menu's words. A plain value; the
// orders match the export writer's, so the tray's hook converts by value.
#pragma once

#include <array>

namespace nerivane {

struct ExportChoice {
    enum class Kind { aggregates, events };
    enum class Range { hour, day, week, all };

    Kind kind = Kind::aggregates;
    Range range = Range::hour;

    bool operator==(const ExportChoice&) const = default;

    static constexpr std::array<Kind, 2> kinds{Kind::aggregates, Kind::events};
    static constexpr std::array<Range, 4> ranges{Range::hour, Range::day, Range::week, Range::all};

    static constexpr const char* label(Kind kind) { return kind == Kind::aggregates ? "Measurements" : "Events"; }
    static constexpr const char* label(Range range) {
        switch (range) {
        case Range::hour: return "Last Hour";
        case Range::day: return "Last 24 Hours";
        case Range::week: return "Last 7 Days";
        case Range::all: return "Everything";
        }
        return "";
    }
};

}  // namespace nerivane
