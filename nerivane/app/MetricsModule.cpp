#include "nerivane/app/MetricsModule.h"

#include "nerivane/app/Module.h"

namespace nerivane {

std::variant<std::unique_ptr<MetricsEndpoint>, std::string> MetricsModule::start(AppModel& model,
                                                                                const std::string& listen) {
    if (start_ == nullptr) {
        // Not kept when it fails: a module installed meanwhile serves the next setting.
        auto found = Module::entryPoint<MetricsEndpoint::Start>(fileName, MetricsEndpoint::entryPoint);
        if (const auto* why = std::get_if<std::string>(&found)) return "cannot load the metrics module (" + *why + ")";
        start_ = std::get<MetricsEndpoint::Start>(found);
    }
    return start_(model, listen);
}

}  // namespace nerivane
