// The set of problems a target's window shows: loss, jitter, latency. An
// option set over a signed integer whose raw value is fixed (loss 1, jitter 2,
// latency 4). A plain value.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace nerivane {

struct Problems {
    int rawValue = 0;

    static constexpr Problems loss() { return {1}; }
    static constexpr Problems jitter() { return {2}; }
    static constexpr Problems latency() { return {4}; }

    constexpr bool isEmpty() const { return rawValue == 0; }
    // True when every member of other is in this set.
    constexpr bool contains(Problems other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr void insert(Problems other) { rawValue |= other.rawValue; }
    constexpr Problems operator|(Problems other) const { return {rawValue | other.rawValue}; }

    bool operator==(const Problems&) const = default;
};

// Each problem with its text, in the order texts list them.
inline constexpr std::array<std::pair<Problems, std::string_view>, 3> problemNames{{
    {Problems::loss(), "loss"},
    {Problems::jitter(), "jitter"},
    {Problems::latency(), "latency"},
}};

// "loss,jitter": the members' texts joined by commas; empty for no problem.
inline std::string text(Problems problems) {
    std::string text;
    for (const auto& [problem, name] : problemNames) {
        if (!problems.contains(problem)) continue;
        if (!text.empty()) text += ',';
        text += name;
    }
    return text;
}

}  // namespace nerivane

template <>
struct std::hash<nerivane::Problems> {
    std::size_t operator()(const nerivane::Problems& problems) const noexcept {
        return std::hash<int>{}(problems.rawValue);
    }
};
