// The metrics endpoint's module (nerivane-metrics.so: the HTTP front on Qt
// Network and prometheus-cpp's text format), which a run loads only when it
// serves metrics: on the first start, kept from then on. Owned by the
// application delegate; main thread.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "nerivane/app/MetricsEndpoint.h"

namespace nerivane {

class MetricsModule {
public:
    static constexpr const char* fileName = "nerivane-metrics.so";

    // The endpoint serving on the address ("ADDR:PORT"), or why it cannot
    // serve there; a module that cannot be loaded is one more such reason.
    std::variant<std::unique_ptr<MetricsEndpoint>, std::string> start(AppModel& model, const std::string& listen);

private:
    MetricsEndpoint::Start start_ = nullptr;
};

}  // namespace nerivane
