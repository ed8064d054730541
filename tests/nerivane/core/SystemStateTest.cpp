#include <gtest/gtest.h>

#include "nerivane/core/SystemState.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

using R = SlowRateReason;

TEST(SystemStateRules, SlowRateReasonsByPriorityTheSimulatedLockAndTheForcedBattery) {
    using Row = std::tuple<bool, bool, bool, bool, std::optional<R>>;
    for (const auto& [onBattery, lowPower, constrained, expensive, reason] :
         {Row{1, 1, 1, 1, R::battery}, Row{0, 1, 1, 1, R::lowPowerMode}, Row{0, 0, 1, 1, R::lowDataMode}, Row{0, 0, 0, 1, R::expensivePath}, Row{0, 0, 0, 0, {}}})
        EXPECT_EQ(slowRateReason(onBattery, lowPower, [&] { NetworkPath p; p.isExpensive = expensive, p.isConstrained = constrained; return p; }()), reason)
            << lowPower << constrained;
    using Window = std::optional<std::pair<double, double>>;
    EXPECT_EQ(SystemState::parseLockTest(",0.5,,2,"), (Window{{0.5, 2}}));
    for (const char* text : {"5", "5,20,30", "a,b", ""})
        EXPECT_EQ(SystemState::parseLockTest(QString::fromLatin1(text)), std::nullopt) << text;
    // Only exactly "1" forces the battery.
    const QDBusConnection none(QStringLiteral("never-connected"));
    for (const char* value : {"true", "1 ", "01"})
        EXPECT_FALSE(SystemState(none, none, {QString::fromLatin1(value), std::nullopt, std::nullopt}).onBattery()) << value;
    EXPECT_TRUE(SystemState(none, none, {QStringLiteral("1"), std::nullopt, std::nullopt}).onBattery());
}

}  // namespace
}  // namespace nerivane
