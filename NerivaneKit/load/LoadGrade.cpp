#include "NerivaneKit/load/LoadGrade.h"

#include <array>
#include <utility>

namespace nerivane {
namespace {

constexpr std::array<std::pair<LoadGrade, std::string_view>, 6> texts{{
    {LoadGrade::aPlus, "A+"},
    {LoadGrade::a, "A"},
    {LoadGrade::b, "B"},
    {LoadGrade::c, "C"},
    {LoadGrade::d, "D"},
    {LoadGrade::f, "F"},
}};

// Upper bounds (exclusive) of added milliseconds, in grade order.
constexpr std::array<std::pair<double, LoadGrade>, 5> bounds{{
    {5, LoadGrade::aPlus},
    {30, LoadGrade::a},
    {60, LoadGrade::b},
    {200, LoadGrade::c},
    {400, LoadGrade::d},
}};

}  // namespace

std::string_view text(LoadGrade grade) {
    for (const auto& [value, name] : texts) {
        if (value == grade) return name;
    }
    return "";
}

std::optional<LoadGrade> parseLoadGrade(std::string_view text) {
    for (const auto& [value, name] : texts) {
        if (name == text) return value;
    }
    return std::nullopt;
}

LoadGrade gradeForAddedLatency(double addedMilliseconds) {
    for (const auto& [bound, grade] : bounds) {
        if (addedMilliseconds < bound) return grade;
    }
    return LoadGrade::f;
}

}  // namespace nerivane
