#include "nerivane/metrics/MetricsExporter.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/platform/UniqueFd.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/metrics/MetricsTally.h"

namespace nerivane {

// Rendered on the endpoint's thread; filled on the main thread.
struct MetricsExporter::Collector final : prometheus::Collectable {
    mutable std::mutex lock;
    MetricsTally tally;

    std::vector<prometheus::MetricFamily> Collect() const override {
        std::lock_guard guard(lock);
        return tally.families();
    }
};

namespace {

struct Resolved {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string numeric;
    bool isLoopback = false;
};

std::variant<Resolved, std::string> resolve(const MetricsAddress& where, const std::string& quoted) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(where.host.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        // A name, e.g. "localhost": the first address it has.
        hints.ai_flags = 0;
        status = ::getaddrinfo(where.host.c_str(), nullptr, &hints, &found);
    }
    if (status != 0 || found == nullptr)
        return "metrics address " + quoted + ": cannot resolve \"" + where.host + "\" (" + ::gai_strerror(status) + ")";
    Resolved resolved;
    std::memcpy(&resolved.address, found->ai_addr, found->ai_addrlen);
    resolved.length = found->ai_addrlen;
    ::freeaddrinfo(found);

    std::array<char, INET6_ADDRSTRLEN> text{};
    if (resolved.address.ss_family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(resolved.address);
        v4.sin_port = htons(where.port);
        ::inet_ntop(AF_INET, &v4.sin_addr, text.data(), text.size());
        resolved.isLoopback = (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
        resolved.numeric = std::string(text.data()) + ":" + std::to_string(where.port);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(resolved.address);
        v6.sin6_port = htons(where.port);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text.data(), text.size());
        resolved.isLoopback = IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
        resolved.numeric = "[" + std::string(text.data()) + "]:" + std::to_string(where.port);
    }
    return resolved;
}

// The web server only says that it could not listen; a bind of our own first
// tells the user why.
std::optional<std::string> bindProblem(const Resolved& resolved, const std::string& quoted) {
    UniqueFd socket(::socket(resolved.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return "metrics address " + quoted + ": cannot open a socket (" + std::strerror(errno) + ")";
    const int on = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&resolved.address), resolved.length) == 0)
        return std::nullopt;
    switch (errno) {
    case EADDRINUSE: return "metrics address " + quoted + ": the port is already in use";
    case EADDRNOTAVAIL: return "metrics address " + quoted + ": not an address of this machine";
    case EACCES: return "metrics address " + quoted + ": ports below 1024 need privileges";
    default: return "metrics address " + quoted + ": cannot listen there (" + std::strerror(errno) + ")";
    }
}

}  // namespace

std::variant<std::unique_ptr<MetricsExporter>, std::string> MetricsExporter::start(AppModel& model,
                                                                                   const std::string& listen) {
    const auto parsed = MetricsAddress::parse(listen);
    if (const auto* error = std::get_if<std::string>(&parsed)) return *error;
    const auto& where = std::get<MetricsAddress>(parsed);
    const std::string quoted = "\"" + listen + "\"";
    const auto resolved = resolve(where, quoted);
    if (const auto* error = std::get_if<std::string>(&resolved)) return *error;
    const auto& address = std::get<Resolved>(resolved);
    if (auto problem = bindProblem(address, quoted)) return *problem;

    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        // One thread: a scrape every few seconds is all it serves.
        exposer = std::make_unique<prometheus::Exposer>(address.numeric, 1);
    } catch (const std::exception& error) {
        return "metrics address " + quoted + ": cannot listen there (" + error.what() + ")";
    }
    auto collector = std::make_shared<Collector>();
    exposer->RegisterCollectable(collector);

    Log log("app");
    log.info("metrics: serving http://" + address.numeric + "/metrics");
    if (!address.isLoopback) {
        log.info("metrics: " + address.numeric +
                   " is not a loopback address: every machine that can reach it can read these metrics");
    }
    return std::unique_ptr<MetricsExporter>(
        new MetricsExporter(model, std::move(collector), std::move(exposer), address.numeric));
}

MetricsExporter::MetricsExporter(AppModel& model, std::shared_ptr<Collector> collector,
                                 std::unique_ptr<prometheus::Exposer> exposer, std::string boundAddress)
    : model_(model), collector_(std::move(collector)), exposer_(std::move(exposer)),
      boundAddress_(std::move(boundAddress)) {
    connect(&model_, &AppModel::probesApplied, this, [this](const std::vector<ProbeRecord>& probes) {
        std::lock_guard guard(collector_->lock);
        collector_->tally.addProbes(probes);
    });
    connect(&model_, &AppModel::eventApplied, this, [this](const NetworkEvent& event) {
        std::lock_guard guard(collector_->lock);
        collector_->tally.addEvent(event);
    });
    connect(&model_, &AppModel::changed, this, &MetricsExporter::handleChange);
    connect(&model_, &AppModel::isLockPausedChanged, this, &MetricsExporter::handleChange);
    handleChange();
}

// The server stops (and its threads end) before the tally goes.
MetricsExporter::~MetricsExporter() { exposer_.reset(); }

void MetricsExporter::handleChange() {
    MetricsTally::Probing probing;
    probing.paused = model_.pausedUntil().has_value();
    probing.locked = model_.isLockPaused();
    probing.slowed = model_.system().slowRateReason(model_.snapshot().path).has_value();
    probing.interval = model_.monitorInterval();
    std::lock_guard guard(collector_->lock);
    collector_->tally.setSnapshot(model_.snapshot());
    collector_->tally.setProbing(probing);
}

}  // namespace nerivane
