#include "nerivane/ui/menubar/CompactReadout.h"

#include "nerivane/core/AppModel.h"

namespace nerivane {

std::string CompactReadout::digitsOf(const std::string& valueText) {
    std::string digits = valueText;
    if (digits.size() > 2 && digits.ends_with("ms")) digits.resize(digits.size() - 2);
    const auto first = digits.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

CompactReadout::Router CompactReadout::routerState(const MonitorSnapshot& snapshot) {
    for (const auto& target : snapshot.targets) {
        if (target.target.role != TargetRole::router()) continue;
        if (target.status != TargetStatus::icmp && target.status != TargetStatus::tcp) return Router::none;
        switch (target.state.kind) {
        case TargetState::Kind::ok: return Router::ok;
        case TargetState::Kind::bad: return Router::problem;
        case TargetState::Kind::down: return Router::down;
        case TargetState::Kind::measuring: return Router::none;
        }
    }
    return Router::none;
}

CompactReadout CompactReadout::make(const MonitorSnapshot& snapshot, const std::vector<std::optional<double>>& internet,
                                    const std::vector<std::optional<double>>& router, DisplayStyle style,
                                    MenuBarTarget target, bool paused) {
    const bool isRouter = target == MenuBarTarget::router;
    const bool digits = style != DisplayStyle::trace;
    const bool traced = style != DisplayStyle::text;
    CompactReadout readout;
    if (digits)
        readout.digits =
            digitsOf(MenuBarLayout::valueText(snapshot, isRouter ? TargetRole::router() : TargetRole::internet(0)));
    if (traced)
        readout.trace = MenuBarLayout::levels(isRouter ? router : internet,
                                              isRouter ? MenuBarLayout::routerFloor : MenuBarLayout::internetFloor);
    if (target == MenuBarTarget::both) {
        if (digits) readout.routerDigits = digitsOf(MenuBarLayout::valueText(snapshot, TargetRole::router()));
        if (traced) readout.routerTrace = MenuBarLayout::levels(router, MenuBarLayout::routerFloor);
        readout.router = routerState(snapshot);
    }
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
