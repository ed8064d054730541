#include "nerivane/core/CompactReadout.h"

#include "nerivane/core/AppModel.h"
#include "nerivane/core/TraceSample.h"

namespace nerivane {

std::string CompactReadout::digitsOf(const MenuBarText::Value& value) {
    return value.unit == "ms" ? value.digits : value.text();
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
            digitsOf(MenuBarLayout::value(snapshot, isRouter ? TargetRole::router() : TargetRole::internet(0)));
    if (traced)
        readout.trace = MenuBarLayout::levels(isRouter ? router : internet,
                                              isRouter ? TraceSample::routerFloor : TraceSample::internetFloor);
    if (target == MenuBarTarget::both) {
        if (digits) readout.routerDigits = digitsOf(MenuBarLayout::value(snapshot, TargetRole::router()));
        if (traced) readout.routerTrace = MenuBarLayout::levels(router, TraceSample::routerFloor);
        readout.router = routerState(snapshot);
    }
    readout.mark = MenuBarText::mark(snapshot.verdict, paused);
    readout.dimmed = paused;
    return readout;
}

CompactReadout CompactReadout::make(AppModel& model) {
    const auto& preferences = model.preferences();
    return make(model.snapshot(), model.traceValues(TargetRole::internet(0)), model.traceValues(TargetRole::router()),
                preferences.displayStyle(), preferences.menuBarTarget(), model.pausedUntil().has_value());
}

}  // namespace nerivane
