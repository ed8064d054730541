#include "nerivane/ui/menubar/CompactReadout.h"

#include "nerivane/core/AppModel.h"

namespace nerivane {

std::string CompactReadout::digitsOf(const std::string& valueText) {
    std::string digits = valueText;
    if (digits.size() > 2 && digits.ends_with("ms")) digits.resize(digits.size() - 2);
    const auto first = digits.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

CompactReadout CompactReadout::make(const MonitorSnapshot& snapshot, const std::vector<std::optional<double>>& internet,
                                    const std::vector<std::optional<double>>& router, DisplayStyle style,
                                    MenuBarTarget target, bool paused) {
    const bool isRouter = target == MenuBarTarget::router;
    CompactReadout readout;
    readout.digits = digitsOf(MenuBarLayout::valueText(snapshot, isRouter ? TargetRole::router() : TargetRole::internet(0)));
    if (style != DisplayStyle::text)
        readout.trace = MenuBarLayout::levels(isRouter ? router : internet,
                                              isRouter ? MenuBarLayout::routerFloor : MenuBarLayout::internetFloor);
    readout.mark = MenuBarLayout::mark(snapshot.verdict, paused);
    readout.dimmed = paused;
    return readout;
}

CompactReadout CompactReadout::make(AppModel& model) {
    const auto& preferences = model.preferences();
    return make(model.snapshot(), model.traceValues(TargetRole::internet(0)), model.traceValues(TargetRole::router()),
                preferences.displayStyle(), preferences.menuBarTarget(), model.pausedUntil().has_value());
}

}  // namespace nerivane
