#include <gtest/gtest.h>

#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/load/LoadGrade.h"
#include "NerivaneKit/lookup/LookupFailure.h"
// Pure headers of the core's preference values: nothing to link.
#include "nerivane/core/Accent.h"
#include "nerivane/core/DisplayStyle.h"
#include "nerivane/core/MenuBarTarget.h"

namespace nerivane {
namespace {

// Every value from the first to the last has a text that reads back as it:
// a value added to an enum but not to its table shows here.
template <typename Enum, typename Parse>
void expectEveryValueReadsBack(Enum last, Parse parse) {
    for (int i = 0; i <= static_cast<int>(last); ++i) {
        const auto value = static_cast<Enum>(i);
        EXPECT_FALSE(text(value).empty()) << i;
        EXPECT_EQ(parse(text(value)), value) << text(value);
    }
}

TEST(EnumTexts, EveryValueReadsBackFromItsTextAndNothingElseReads) {
    expectEveryValueReadsBack(Verdict::signInNeeded, parseVerdict);
    expectEveryValueReadsBack(LoadGrade::f, parseLoadGrade);
    expectEveryValueReadsBack(LookupFailure::noAddress, parseLookupFailure);
    expectEveryValueReadsBack(Accent::system, parseAccent);
    expectEveryValueReadsBack(DisplayStyle::textAndTrace, parseDisplayStyle);
    expectEveryValueReadsBack(MenuBarTarget::both, parseMenuBarTarget);
    // Texts are stored: they are read exactly, case and all.
    EXPECT_EQ(parseVerdict("Good"), std::nullopt);
    EXPECT_EQ(parseLoadGrade("E"), std::nullopt);
    EXPECT_EQ(parseLoadGrade("a+"), std::nullopt);
    EXPECT_EQ(parseLookupFailure("noAddress"), std::nullopt);
    EXPECT_EQ(parseLookupFailure(""), std::nullopt);
}

}  // namespace
}  // namespace nerivane
