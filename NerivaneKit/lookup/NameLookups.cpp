#include "NerivaneKit/lookup/NameLookups.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "NerivaneKit/lookup/SystemResolvers.h"
#include "NerivaneKit/platform/RepeatingTimer.h"

namespace nerivane {
namespace {

// How long getaddrinfo took to answer, none when it failed.
std::optional<Seconds> timeSystemLookup(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    const auto end = std::chrono::steady_clock::now();
    if (found != nullptr) ::freeaddrinfo(found);
    if (status != 0) return std::nullopt;
    return Seconds(end - start);
}

}  // namespace

NameLookups::NameLookups(Settings settings, RoundHandler onRound, SystemHandler onSystem)
    : settings_(std::move(settings)), onRound_(std::move(onRound)), system_(std::make_shared<SystemLookup>()) {
    system_->onSystem = std::move(onSystem);
    if (!settings_.servers) settings_.servers = [] { return SystemResolvers::read({}); };
    queue_.sync([this] { timer_ = std::make_unique<RepeatingTimer>(queue_, [this] { round(); }); });
}

NameLookups::~NameLookups() {
    {
        std::lock_guard lock(system_->lock);
        system_->onSystem = nullptr;
    }
    queue_.sync([this] {
        running_ = false;
        timer_.reset();
    });
}

void NameLookups::start() {
    queue_.async([this] {
        running_ = true;
        timer_->start(settings_.interval);
    });
    probeNow();
}

void NameLookups::stop() {
    // Not waited for: a round in progress may take seconds, and what it
    // delivers after the stop is harmless.
    queue_.async([this] {
        running_ = false;
        timer_->cancel();
    });
}

void NameLookups::probeNow() {
    if (roundWaiting_.exchange(true)) return;
    queue_.async([this] {
        roundWaiting_ = false;
        round();
    });
}

void NameLookups::setName(std::string name) {
    queue_.async([this, name = std::move(name)] { settings_.name = name; });
}

std::chrono::nanoseconds NameLookups::nextRound(const Settings& settings, const std::vector<LookupOutcome>& outcomes,
                                                bool systemFailed) {
    const bool failed = systemFailed || std::any_of(outcomes.begin(), outcomes.end(),
                                                    [](const LookupOutcome& outcome) { return outcome.failure; });
    return failed ? settings.retryInterval : settings.interval;
}

void NameLookups::round() {
    if (!running_ || settings_.name.empty()) return;
    const auto outcomes = DNSProbe::probe(settings_.servers(), settings_.name, settings_.timeout, defaultName);
    if (onRound_) onRound_(outcomes);
    const auto next = nextRound(settings_, outcomes, system_->failed);
    if (!timer_->isRunning() || timer_->period() != next) timer_->start(next);
    // One getaddrinfo at a time: one stuck in the system's resolver is not
    // joined by another every round.
    if (!settings_.systemLookup || system_->busy.exchange(true)) return;
    // The name the servers know: a chosen name that does not exist would
    // fail here as well, and that is the setting's fault, not the resolver's.
    const bool missing = std::any_of(outcomes.begin(), outcomes.end(),
                                     [](const LookupOutcome& outcome) { return !outcome.missingName.empty(); });
    std::thread([system = system_, name = missing ? std::string(defaultName) : settings_.name] {
        const auto took = timeSystemLookup(name);
        system->failed = !took;
        {
            std::lock_guard lock(system->lock);
            if (system->onSystem) system->onSystem(took);
        }
        system->busy = false;
    }).detach();
}

}  // namespace nerivane
