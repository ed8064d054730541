// Which target(s) the menu-bar readout is about: the internet, the router,
// or both. A preference value; its text is what the preferences store keeps.
#pragma once

#include <optional>
#include <string_view>

namespace nerivane {

enum class MenuBarTarget { internet, router, both };

constexpr std::string_view text(MenuBarTarget target) {
    switch (target) {
    case MenuBarTarget::internet: return "internet";
    case MenuBarTarget::router: return "router";
    case MenuBarTarget::both: return "both";
    }
    return "";
}

// None for a text that names no target.
constexpr std::optional<MenuBarTarget> parseMenuBarTarget(std::string_view text) {
    for (auto target : {MenuBarTarget::internet, MenuBarTarget::router, MenuBarTarget::both}) {
        if (nerivane::text(target) == text) return target;
    }
    return std::nullopt;
}

}  // namespace nerivane
