// What the menu-bar readout shows: the latency text, the trace, or both.
// A preference value; its text is what the preferences store keeps.
#pragma once

#include <optional>
#include <string_view>

#include "NerivaneKit/platform/EnumTexts.h"

namespace nerivane {

enum class DisplayStyle { text, trace, textAndTrace };

inline constexpr auto displayStyleTexts = enumTexts<DisplayStyle>({
    {DisplayStyle::text, "text"},
    {DisplayStyle::trace, "trace"},
    {DisplayStyle::textAndTrace, "textAndTrace"},
});

constexpr std::string_view text(DisplayStyle style) { return displayStyleTexts.textOf(style); }

// None for a text that names no style.
constexpr std::optional<DisplayStyle> parseDisplayStyle(std::string_view text) { return displayStyleTexts.valueOf(text); }

}  // namespace nerivane
