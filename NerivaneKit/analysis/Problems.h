// The set of problems a target's window shows: loss, jitter, latency. An
// option set over a signed integer whose raw value is fixed (loss 1, jitter 2,
// latency 4). A plain value.
#pragma once

#include <cstddef>
#include <functional>

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

}  // namespace nerivane

template <>
struct std::hash<nerivane::Problems> {
    std::size_t operator()(const nerivane::Problems& problems) const noexcept {
        return std::hash<int>{}(problems.rawValue);
    }
};
