// How release versions order: part by part as numbers, text that is no
// number counting as 0, and a pre-release before its release.
#include <gtest/gtest.h>

#include <QString>
#include <tuple>

#include "nerivane/updates/Version.h"

namespace nerivane {
namespace {

int sign(int value) { return (value > 0) - (value < 0); }

TEST(Version, PartsCompareAsNumbersAndAPreReleaseComesBeforeItsRelease) {
    // a, b, and whether a is older (-1), the same (0) or newer (1).
    const std::tuple<const char*, const char*, int> rows[] = {
        {"1.10", "1.9", 1},  // numbers, not text
        {"2", "1.99.99", 1},
        {"1.2.1", "1.2", 1},
        {"1.2", "1.2.0.0", 0},  // a missing part is 0
        {" 1.3\n", "1.3", 0},
        // A pre-release comes before its release, and after the one before.
        {"1.3-rc1", "1.3", -1},
        {"1.3.0-rc1", "1.3", -1},
        {"1.3rc2", "1.3rc1", 1},
        {"1.3-rc10", "1.3-rc9", 1},
        {"1.3-beta", "1.3-rc1", -1},
        {"1.3-rc1", " 1.3-rc1", 0},
        {"1.4-beta", "1.3.9", 1},
        // Text that is no version: 0, never a failure.
        {"", "0.0", 0},
        {"x.y", "0", 0},
        {"1..2", "1.0.2", 0},
        {"1.\u0662", "1.0", 0},  // only ASCII digits
        {"", "0.1", -1},
        // Absurd parts saturate rather than wrap around.
        {"99999999999999999999999", "18446744073709551615", 0},
        {"99999999999999999999999", "1", 1},
    };
    for (const auto& [a, b, expected] : rows) {
        EXPECT_EQ(sign(Version::compare(QString::fromUtf8(a), QString::fromUtf8(b))), expected) << a << " vs " << b;
        EXPECT_EQ(sign(Version::compare(QString::fromUtf8(b), QString::fromUtf8(a))), -expected) << b << " vs " << a;
    }
}

}  // namespace
}  // namespace nerivane
