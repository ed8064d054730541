// Which target(s) the menu-bar readout is about: the internet, the router,
// or both. A preference value; its text is what the preferences store keeps.
#pragma once

#include <optional>
#include <string_view>

#include "NerivaneKit/platform/EnumTexts.h"

namespace nerivane {

enum class MenuBarTarget { internet, router, both };

inline constexpr auto menuBarTargetTexts = enumTexts<MenuBarTarget>({
    {MenuBarTarget::internet, "internet"},
    {MenuBarTarget::router, "router"},
    {MenuBarTarget::both, "both"},
});

constexpr std::string_view text(MenuBarTarget target) { return menuBarTargetTexts.textOf(target); }

// None for a text that names no target.
constexpr std::optional<MenuBarTarget> parseMenuBarTarget(std::string_view text) { return menuBarTargetTexts.valueOf(text); }

}  // namespace nerivane
