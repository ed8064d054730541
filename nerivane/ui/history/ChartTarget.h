// Which role the history chart shows: the first internet host or the router.
// A plain enumeration with its shown labels; main thread.
#pragma once

#include <QString>
#include <array>

#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {

enum class ChartTarget { internet, router };

inline constexpr std::array<ChartTarget, 2> allChartTargets{ChartTarget::internet, ChartTarget::router};

inline QString label(ChartTarget target) {
    return target == ChartTarget::internet ? QStringLiteral("internet") : QStringLiteral("router");
}

inline TargetRole role(ChartTarget target) {
    return target == ChartTarget::internet ? TargetRole::internet(0) : TargetRole::router();
}

}  // namespace nerivane
