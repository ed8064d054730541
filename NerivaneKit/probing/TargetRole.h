// What a target is for: the router, an internet host or a custom host (with
// its index in the settings' list), the first internet host's IPv6 partner,
// or the provider's edge (the first hop beyond the router that answers).
// Its text ("router", "internet-ipv6", "internet[0]", "custom[1]",
// "provider") is stored in history and CSV.
#pragma once

#include <compare>
#include <functional>
#include <optional>
#include <string>

namespace nerivane {

struct TargetRole {
    enum class Kind { internet, custom, router, internetIPv6, provider };

    Kind kind = Kind::router;
    // The index in the settings' host list; 0 for router, internetIPv6 and provider.
    int index = 0;

    static TargetRole internet(int index) { return {Kind::internet, index}; }
    static TargetRole custom(int index) { return {Kind::custom, index}; }
    static TargetRole router() { return {Kind::router, 0}; }
    static TargetRole internetIPv6() { return {Kind::internetIPv6, 0}; }
    static TargetRole provider() { return {Kind::provider, 0}; }

    bool isInternet() const { return kind == Kind::internet || kind == Kind::internetIPv6; }
    bool isCustom() const { return kind == Kind::custom; }

    std::string text() const;
    static std::optional<TargetRole> parse(const std::string& text);
    // The target as a person reads it: "router", "1.1.1.1 over IPv6" for the
    // partner (whose host is its IPv4 twin's), "provider 100.64.0.1", else
    // the host as the user gave it.
    std::string shownName(const std::string& host) const;

    bool operator==(const TargetRole&) const = default;
    auto operator<=>(const TargetRole&) const = default;
};

}  // namespace nerivane

template <>
struct std::hash<nerivane::TargetRole> {
    std::size_t operator()(const nerivane::TargetRole& role) const noexcept {
        return static_cast<std::size_t>(role.kind) * 1'000'003u + static_cast<std::size_t>(role.index);
    }
};
