#include "nerivane/modules/metrics/MetricsExporter.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <prometheus/text_serializer.h>
#include <sys/socket.h>

#include <QDateTime>
#include <array>
#include <cerrno>
#include <cstring>

#include "NerivaneKit/platform/Log.h"
#include "NerivaneKit/platform/UniqueFd.h"
#include "nerivane/core/AppModel.h"
#include "nerivane/modules/metrics/MetricsServer.h"

namespace nerivane {
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
        resolved.isLoopback = MetricsAddress::isLoopback(text.data());
        resolved.numeric = std::string(text.data()) + ":" + std::to_string(where.port);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(resolved.address);
        v6.sin6_port = htons(where.port);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text.data(), text.size());
        resolved.isLoopback = MetricsAddress::isLoopback(text.data());
        resolved.numeric = "[" + std::string(text.data()) + "]:" + std::to_string(where.port);
    }
    return resolved;
}

// A socket of our own, so that the user is told why it cannot listen.
std::variant<UniqueFd, std::string> listenOn(const Resolved& resolved, const std::string& quoted) {
    UniqueFd socket(::socket(resolved.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) return "metrics address " + quoted + ": cannot open a socket (" + std::strerror(errno) + ")";
    const int on = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&resolved.address), resolved.length) == 0 &&
        ::listen(socket.get(), SOMAXCONN) == 0)
        return socket;
    switch (errno) {
    case EADDRINUSE: return "metrics address " + quoted + ": the port is already in use";
    case EADDRNOTAVAIL: return "metrics address " + quoted + ": not an address of this machine";
    case EACCES: return "metrics address " + quoted + ": ports below 1024 need privileges";
    default: return "metrics address " + quoted + ": cannot listen there (" + std::strerror(errno) + ")";
    }
}

double unixSeconds() { return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000; }

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
    auto listening = listenOn(address, quoted);
    if (const auto* error = std::get_if<std::string>(&listening)) return *error;

    auto exporter = std::unique_ptr<MetricsExporter>(new MetricsExporter(model, address.numeric));
    exporter->server_ = std::make_unique<MetricsServer>(std::move(std::get<UniqueFd>(listening)),
                                                        [self = exporter.get()] {
                                                            return prometheus::TextSerializer().Serialize(
                                                                self->families());
                                                        });
    if (!exporter->server_->isListening()) return "metrics address " + quoted + ": cannot listen there";

    Log log("app");
    log.info("metrics: serving http://" + address.numeric + "/metrics");
    if (!address.isLoopback) {
        log.info("metrics: " + address.numeric +
                   " is not a loopback address: every machine that can reach it can read these metrics");
    }
    return exporter;
}

MetricsExporter::MetricsExporter(AppModel& model, std::string boundAddress)
    : model_(model), boundAddress_(std::move(boundAddress)) {
    connect(&model_, &AppModel::probesApplied, this,
            [this](const std::vector<ProbeRecord>& probes) {
                const std::lock_guard lock(tallyLock_);
                tally_.addProbes(probes);
            });
    connect(&model_, &AppModel::eventApplied, this, [this](const NetworkEvent& event) {
        const std::lock_guard lock(tallyLock_);
        tally_.addEvent(event);
    });
    connect(&model_, &AppModel::changed, this, &MetricsExporter::handleChange);
    connect(&model_, &AppModel::isLockPausedChanged, this, &MetricsExporter::handleChange);
    handleChange();
}

MetricsExporter::~MetricsExporter() {
    // The server's thread renders from the tally: it stops first.
    server_.reset();
}

void MetricsExporter::handleChange() {
    MetricsTally::Probing probing;
    probing.paused = model_.pausedUntil().has_value();
    probing.locked = model_.isLockPaused();
    probing.slowed = model_.system().slowRateReason(model_.snapshot().path).has_value();
    probing.interval = model_.monitorInterval();
    const std::lock_guard lock(tallyLock_);
    tally_.setSnapshot(model_.snapshot(), unixSeconds());
    tally_.setProbing(probing);
}

std::vector<prometheus::MetricFamily> MetricsExporter::families() const {
    const std::lock_guard lock(tallyLock_);
    return tally_.families();
}

}  // namespace nerivane

// The module's one entry point (MetricsEndpoint::entryPoint), found by name.
extern "C" __attribute__((visibility("default"))) std::variant<std::unique_ptr<nerivane::MetricsEndpoint>, std::string>
nerivane_start_metrics(nerivane::AppModel& model, const std::string& listen) {
    auto started = nerivane::MetricsExporter::start(model, listen);
    if (auto* why = std::get_if<std::string>(&started)) return std::move(*why);
    return std::unique_ptr<nerivane::MetricsEndpoint>(std::move(std::get<std::unique_ptr<nerivane::MetricsExporter>>(started)));
}
// Of the type the program calls it by.
[[maybe_unused]] static constexpr nerivane::MetricsEndpoint::Start checkedStart = &nerivane_start_metrics;
