// The colour theme of the popover (the menu-bar readout does not use it).
// A preference value; its text is what the preferences store keeps.
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class Accent { phosphor, cyan, magenta, amber, system };

constexpr std::string_view text(Accent accent) {
    switch (accent) {
    case Accent::phosphor: return "phosphor";
    case Accent::cyan: return "cyan";
    case Accent::magenta: return "magenta";
    case Accent::amber: return "amber";
    case Accent::system: return "system";
    }
    return "";
}

// None for a text that names no accent.
constexpr std::optional<Accent> parseAccent(std::string_view text) {
    for (auto accent : {Accent::phosphor, Accent::cyan, Accent::magenta, Accent::amber, Accent::system}) {
        if (nerivane::text(accent) == text) return accent;
    }
    return std::nullopt;
}

}  // namespace nerivane
