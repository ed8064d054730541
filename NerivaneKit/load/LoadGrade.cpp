#include "NerivaneKit/load/LoadGrade.h"

#include <array>
#include <utility>

#include "NerivaneKit/platform/EnumTexts.h"

namespace nerivane {
namespace {

constexpr auto texts = enumTexts<LoadGrade>({
    {LoadGrade::aPlus, "A+"},
    {LoadGrade::a, "A"},
    {LoadGrade::b, "B"},
    {LoadGrade::c, "C"},
    {LoadGrade::d, "D"},
    {LoadGrade::f, "F"},
});

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
    return texts.textOf(grade);
}

std::optional<LoadGrade> parseLoadGrade(std::string_view text) {
    return texts.valueOf(text);
}

LoadGrade gradeForAddedLatency(double addedMilliseconds) {
    for (const auto& [bound, grade] : bounds) {
        if (addedMilliseconds < bound) return grade;
    }
    return LoadGrade::f;
}

}  // namespace nerivane
