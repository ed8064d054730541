// What the menu-bar readout shows: the latency text, the trace, or both.
// A preference value; its text is what the preferences store keeps.
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class DisplayStyle { text, trace, textAndTrace };

constexpr std::string_view text(DisplayStyle style) {
    switch (style) {
    case DisplayStyle::text: return "text";
    case DisplayStyle::trace: return "trace";
    case DisplayStyle::textAndTrace: return "textAndTrace";
    }
    return "";
}

// None for a text that names no style.
constexpr std::optional<DisplayStyle> parseDisplayStyle(std::string_view text) {
    for (auto style : {DisplayStyle::text, DisplayStyle::trace, DisplayStyle::textAndTrace}) {
        if (nerivane::text(style) == text) return style;
    }
    return std::nullopt;
}

}  // namespace nerivane
