// The opt-in Prometheus endpoint: serves GET /metrics on exactly the address
// given, from a tally of the model's snapshots, probe records and events.
// Nothing it serves can change the program. Created by the application
// delegate on the main thread, where it follows the model; the endpoint's
// own thread renders a copy of the tally under a lock.
#pragma once

#include <QObject>
#include <memory>
#include <string>
#include <variant>

#include "nerivane/metrics/MetricsAddress.h"

namespace prometheus {
class Exposer;
}

namespace nerivane {

class AppModel;

class MetricsExporter : public QObject {
    Q_OBJECT

public:
    // Resolves the address ("ADDR:PORT"), binds to it and starts serving;
    // the exporter, or a usage error that says why it cannot listen there
    // (bad form, a name that does not resolve, a port in use, an address
    // that is not this machine's).
    static std::variant<std::unique_ptr<MetricsExporter>, std::string> start(AppModel& model, const std::string& listen);
    ~MetricsExporter() override;

    // The numeric address served, e.g. "127.0.0.1:9101".
    const std::string& boundAddress() const { return boundAddress_; }

private:
    struct Collector;
    MetricsExporter(AppModel& model, std::shared_ptr<Collector> collector, std::unique_ptr<prometheus::Exposer> exposer,
                    std::string boundAddress);
    void handleChange();

    AppModel& model_;
    std::shared_ptr<Collector> collector_;
    std::unique_ptr<prometheus::Exposer> exposer_;
    std::string boundAddress_;
};

}  // namespace nerivane
