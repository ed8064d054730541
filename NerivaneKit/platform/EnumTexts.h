// An enum's values with the texts they are stored, sent or shown as, in one
// table that serves both directions, so that writing and reading a value
// cannot drift apart. Made at compile time by enumTexts(), which refuses a
// table that names a value or a text twice; constant, any thread.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace nerivane {

template <typename Enum, std::size_t N>
struct EnumTexts {
    std::array<std::pair<Enum, std::string_view>, N> entries;

    // The value's text; empty for a value the table lacks.
    constexpr std::string_view textOf(Enum value) const {
        for (const auto& [candidate, text] : entries) {
            if (candidate == value) return text;
        }
        return {};
    }

    // The value written as text (exactly, case and all), if any is.
    constexpr std::optional<Enum> valueOf(std::string_view text) const {
        for (const auto& [value, candidate] : entries) {
            if (candidate == text) return value;
        }
        return std::nullopt;
    }
};

// enumTexts<Verdict>({{Verdict::good, "good"}, ...}): the table, checked as
// it is made. A repeated value or text, or an empty text, stops the build.
template <typename Enum, std::size_t N>
consteval EnumTexts<Enum, N> enumTexts(const std::pair<Enum, std::string_view> (&entries)[N]) {
    EnumTexts<Enum, N> table{};
    for (std::size_t i = 0; i < N; ++i) {
        if (entries[i].second.empty()) throw "an enum's text is empty";
        for (std::size_t j = 0; j < i; ++j) {
            if (entries[j].first == entries[i].first) throw "an enum's value is listed twice";
            if (entries[j].second == entries[i].second) throw "an enum's text is listed twice";
        }
        table.entries[i] = entries[i];
    }
    return table;
}

}  // namespace nerivane
