// The colours the history chart and its legend paint with, taken from the
// widget's palette (dark when its text is lighter than its window) and the
// accent preference. A value made at paint time; main thread.
#pragma once

#include <QColor>
#include <QPalette>

#include "nerivane/core/Accent.h"

namespace nerivane {

struct ChartColors {
    QColor accent;
    // The p95 line: the accent paled by p95Opacity, still 3:1 on the card.
    QColor p95;
    QColor secondary;
    QColor loss;
    // Throughput's two tones and the opacity of their areas.
    QColor sent;
    QColor received;
    double throughputOpacity = 0.35;
    // Shading of non-measured runs and the p95 line's opacity.
    double runOpacity = 0.14;
    double p95Opacity = 0.4;
    double medianWidth = 1.5;

    static ChartColors from(const QPalette& palette, Accent accent, bool increasedContrast);
    // Whether the desktop asks for increased contrast, where Qt can tell.
    static bool desktopPrefersContrast();
};

}  // namespace nerivane
