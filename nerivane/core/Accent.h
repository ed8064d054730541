// The colour theme of the popover (the menu-bar readout does not use it).
// A preference value; its text is what the preferences store keeps.
#pragma once

#include <optional>
#include <string_view>

#include "NerivaneKit/platform/EnumTexts.h"

namespace nerivane {

enum class Accent { phosphor, cyan, magenta, amber, system };

inline constexpr auto accentTexts = enumTexts<Accent>({
    {Accent::phosphor, "phosphor"},
    {Accent::cyan, "cyan"},
    {Accent::magenta, "magenta"},
    {Accent::amber, "amber"},
    {Accent::system, "system"},
});

constexpr std::string_view text(Accent accent) { return accentTexts.textOf(accent); }

// None for a text that names no accent.
constexpr std::optional<Accent> parseAccent(std::string_view text) { return accentTexts.valueOf(text); }

}  // namespace nerivane
