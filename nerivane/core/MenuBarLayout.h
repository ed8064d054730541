// What the menu-bar readout shows, as a value both front ends draw: the tray
// renders it as pixels, the terminal as characters. Pieces left to right
// (stacked caption and value, two-row pair, one or two traces, the status
// mark) and whether the whole is dimmed. Built on the main thread from the
// model; a plain value otherwise.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "NerivaneKit/analysis/MonitorSnapshot.h"
#include "NerivaneKit/text/MenuBarText.h"
#include "nerivane/core/DisplayStyle.h"
#include "nerivane/core/MenuBarTarget.h"

namespace nerivane {

class AppModel;

struct MenuBarLayout {
    using Mark = MenuBarText::Mark;

    // Trace heights 0 to 1, oldest first. A lost probe keeps its place with
    // no level: the terminal prints a dot there, the renderer a zero.
    using Levels = std::vector<std::optional<double>>;

    struct Stacked {
        std::string caption;
        std::string value;
        bool operator==(const Stacked&) const = default;
    };
    struct Pair {
        std::string top;
        std::string bottom;
        bool operator==(const Pair&) const = default;
    };
    struct Trace {
        Levels levels;
        bool operator==(const Trace&) const = default;
    };
    struct Traces {
        Levels top;
        Levels bottom;
        bool operator==(const Traces&) const = default;
    };
    using Piece = std::variant<Stacked, Pair, Trace, Traces, Mark>;

    std::vector<Piece> pieces;
    bool dimmed = false;

    bool operator==(const MenuBarLayout&) const = default;

    // In characters, for the terminal and the tooltip: the trace as block
    // characters (a lost probe as a dot), then caption and latency
    // ("RTT  12ms") or both rows ("R 2.0ms I  12ms"), then the status glyph.
    std::string text() const;
    // As a label beside the tray icon: the values without caption or padding
    // ("14ms"), both rows joined ("R 2.0ms · I 14ms"), then the status glyph.
    // Traces have no text here.
    std::string label() const;
    // The widest label the target is likely to have, for hosts that reserve its width.
    static std::string labelGuide(MenuBarTarget target);

    static MenuBarLayout make(const MonitorSnapshot& snapshot, const std::vector<std::optional<double>>& internet,
                              const std::vector<std::optional<double>>& router, DisplayStyle style,
                              MenuBarTarget target, bool paused);
    // From the model's snapshot, traces and pause, and its preferences' style and target.
    static MenuBarLayout make(AppModel& model);

    // The role's latest latency as digits and unit: a dash for a target
    // missing, not measured by ping or TCP, down, or without a usable value.
    static MenuBarText::Value value(const MonitorSnapshot& snapshot, const TargetRole& role);
    // Left-padded with blanks to the width of the widest value.
    static std::string padded(const std::string& text);
    static Levels levels(const std::vector<std::optional<double>>& values, double floorMilliseconds);
};

}  // namespace nerivane
