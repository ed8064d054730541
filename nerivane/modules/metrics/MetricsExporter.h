// The opt-in Prometheus endpoint: serves GET /metrics on exactly the address
// given, from a tally of the model's snapshots, probe records and events.
// Nothing it serves can change the program. Lives in the module
// nerivane-metrics.so, started by the application delegate through its entry
// point on the main thread, where it follows the model; its server answers
// scrapes on a thread of its own from the tally, under the tally's lock.
#pragma once

#include <QObject>
#include <memory>
#include <mutex>
#include <vector>
#include <string>
#include <variant>

#include "nerivane/app/MetricsEndpoint.h"
#include "nerivane/core/MetricsAddress.h"
#include "nerivane/modules/metrics/MetricsTally.h"

namespace nerivane {

class AppModel;
class MetricsServer;

class MetricsExporter : public QObject, public MetricsEndpoint {
    Q_OBJECT

public:
    // Resolves the address ("ADDR:PORT"), binds to it and starts serving;
    // the exporter, or a usage error that says why it cannot listen there
    // (bad form, a name that does not resolve, a port in use, an address
    // that is not this machine's).
    static std::variant<std::unique_ptr<MetricsExporter>, std::string> start(AppModel& model, const std::string& listen);
    ~MetricsExporter() override;

    const std::string& boundAddress() const override { return boundAddress_; }

private:
    MetricsExporter(AppModel& model, std::string boundAddress);
    void handleChange();
    // The tally's families, taken under its lock; any thread.
    std::vector<prometheus::MetricFamily> families() const;

    AppModel& model_;
    std::string boundAddress_;
    // Changed on the main thread, read on the server's: held only while
    // either touches the tally, never across I/O.
    mutable std::mutex tallyLock_;
    MetricsTally tally_;
    // Renders from the tally: goes first.
    std::unique_ptr<MetricsServer> server_;
};

}  // namespace nerivane
