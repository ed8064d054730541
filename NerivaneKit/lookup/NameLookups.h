// Runs the DNS health probes: once a round interval (15 s), every few
// seconds while a round fails (so a failure shows, and clears, within
// seconds), and at once when asked (a path change, the internet looking
// down). A round reads the system's servers, probes each directly (DNSProbe)
// and times one lookup through getaddrinfo, as applications see it. Owned by
// the Monitor.
// Rounds block, so they run on a lookup queue of their own, and getaddrinfo
// on a detached thread of its own (it can take the system resolver's
// time-outs, many seconds), so none holds up the probe queue or the main
// thread, nor the destructor. Results leave through the callbacks on those threads.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "NerivaneKit/lookup/DNSProbe.h"
#include "NerivaneKit/lookup/LookupOutcome.h"
#include "NerivaneKit/lookup/ResolverServer.h"
#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {

class RepeatingTimer;

class NameLookups {
public:
    // The name asked for unless the user chose another; also asked when a
    // server says the chosen one does not exist.
    static constexpr const char* defaultName = "example.com";

    struct Settings {
        // The name asked for; never empty.
        std::string name;
        // The servers to ask, read on the lookup queue at every round; empty
        // means the system's (SystemResolvers::read).
        std::function<std::vector<ResolverServer>()> servers;
        std::chrono::nanoseconds interval = std::chrono::seconds(15);
        // After a round in which a server or the system's lookup failed.
        std::chrono::nanoseconds retryInterval = std::chrono::seconds(5);
        std::chrono::milliseconds timeout = DNSProbe::defaultTimeout;
        // Time getaddrinfo of the name as well.
        bool systemLookup = true;
    };
    using RoundHandler = std::function<void(const std::vector<LookupOutcome>&)>;
    // How long getaddrinfo took, none when it failed.
    using SystemHandler = std::function<void(std::optional<Seconds>)>;

    NameLookups(Settings settings, RoundHandler onRound, SystemHandler onSystem);
    // Waits for a round in progress to end (a few seconds at most); a
    // getaddrinfo in progress is left to finish alone, its result dropped.
    ~NameLookups();
    NameLookups(const NameLookups&) = delete;
    NameLookups& operator=(const NameLookups&) = delete;

    // A round now, then one per interval.
    void start();
    void stop();
    // A round as soon as the queue is free; asks made while one waits are one.
    void probeNow();
    void setName(std::string name);

    // How long after a round the next one comes: the retry interval when a
    // server failed it or the latest system lookup failed, else the interval.
    static std::chrono::nanoseconds nextRound(const Settings& settings, const std::vector<LookupOutcome>& outcomes,
                                              bool systemFailed);

private:
    // Shared with the getaddrinfo threads, which may outlive this object.
    struct SystemLookup {
        std::mutex lock;
        SystemHandler onSystem;  // under lock; cleared when this object goes
        std::atomic<bool> busy{false};
        std::atomic<bool> failed{false};
    };

    void round();

    Settings settings_;  // lookup queue only
    RoundHandler onRound_;
    std::shared_ptr<SystemLookup> system_;
    std::atomic<bool> roundWaiting_{false};
    bool running_ = false;  // lookup queue only
    SerialQueue queue_{"lookup"};
    std::unique_ptr<RepeatingTimer> timer_;  // lookup queue only
};

}  // namespace nerivane
