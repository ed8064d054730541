// What the program holds of a serving metrics endpoint, and the entry point
// by which the module nerivane-metrics.so (MetricsExporter and what it
// uses) starts one. Nothing here needs Qt Network or prometheus-cpp, so the
// program holds an endpoint without linking them. Main thread.
#pragma once

#include <memory>
#include <string>
#include <variant>

namespace nerivane {

class AppModel;

class MetricsEndpoint {
public:
    // The name of the module's entry point, of type Start: MetricsExporter::start.
    static constexpr const char* entryPoint = "nerivane_start_metrics";
    using Start = std::variant<std::unique_ptr<MetricsEndpoint>, std::string> (*)(AppModel& model,
                                                                                   const std::string& listen);

    virtual ~MetricsEndpoint() = default;

    // The numeric address served, e.g. "127.0.0.1:9101".
    virtual const std::string& boundAddress() const = 0;
};

}  // namespace nerivane
