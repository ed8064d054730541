#include "NerivaneKit/text/MenuBarText.h"

#include <algorithm>
#include <cmath>

#include "NerivaneKit/platform/NumberText.h"

namespace nerivane::MenuBarText {
namespace {

// A value the trace can draw: finite and not negative. Anything else is
// shown as a gap, like a lost probe, rather than poisoning the scale.
std::optional<double> drawable(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value) || *value < 0) return std::nullopt;
    return value;
}

}  // namespace

Value digits(std::optional<double> milliseconds) {
    auto figure = NumberText::millisecondFigure(milliseconds);
    return {std::move(figure.digits), std::move(figure.unit)};
}

std::string value(std::optional<double> milliseconds) {
    return digits(milliseconds).text();
}

Mark mark(Verdict verdict, bool paused) {
    if (paused) return Mark::paused;
    switch (verdict) {
    case Verdict::internetProblem:
    case Verdict::localProblem:
    case Verdict::connectionProblem:
    case Verdict::internetUnmeasured:
    case Verdict::lookupsFailing:
    case Verdict::lookupsSlow:
    case Verdict::slowWhileBusy:
    case Verdict::providerProblem:
    case Verdict::signInNeeded:
        return Mark::problem;
    case Verdict::internetDown:
    case Verdict::localDown:
    case Verdict::connectionDown:
    case Verdict::offline:
    case Verdict::providerDown:
        return Mark::down;
    case Verdict::measuring:
    case Verdict::good:
        return Mark::none;
    }
    return Mark::none;
}

std::vector<double> traceLevels(const std::vector<std::optional<double>>& milliseconds, double floorMilliseconds) {
    std::optional<double> largest;
    for (const auto& entry : milliseconds) {
        if (auto v = drawable(entry)) largest = std::max(largest.value_or(*v), *v);
    }
    double scale = 0;
    if (largest) {
        scale = std::max(*largest, floorMilliseconds);
    } else if (floorMilliseconds > 0) {
        scale = floorMilliseconds;
    }

    std::vector<double> levels;
    levels.reserve(milliseconds.size());
    for (const auto& entry : milliseconds) {
        const auto v = drawable(entry);
        // A scale of 0 leaves only zero values (and no positive floor): flat.
        if (!v || scale <= 0) {
            levels.push_back(0);
            continue;
        }
        const double level = std::min(*v / scale, 1.0);
        levels.push_back(std::round(level * 32) / 32);
    }
    return levels;
}

}  // namespace nerivane::MenuBarText
