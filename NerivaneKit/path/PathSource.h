// Where a PathMonitor gets its facts: the system's network configuration (as
// StoreSnapshot values) and its usability facts (as PathFacts deliveries).
// NetlinkPathSource is the real one; tests and the engine may pass their own.
// Owned by one PathMonitor and used only on that monitor's queue.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "NerivaneKit/path/PathFacts.h"
#include "NerivaneKit/path/StoreSnapshot.h"
#include "NerivaneKit/net/ProbeAddress.h"

namespace nerivane {

class SerialQueue;

class PathSource {
public:
    struct Handlers {
        // The configuration changed in some way; the monitor reads it again
        // after its debounce.
        std::function<void()> configurationChanged;
        // New usability facts. The first delivery should follow start() soon,
        // without waiting for a change: it brings the monitor's first read.
        std::function<void(const PathFacts&)> factsDelivered;
    };

    virtual ~PathSource() = default;

    // Starts watching; both handlers are called on the queue, never from
    // inside start() itself. Returns false when the configuration cannot be
    // read at all (nothing is ever reported then). Starting again restarts.
    virtual bool start(SerialQueue& queue, Handlers handlers) = 0;
    // Stops the notifications. A source should not call the handlers after
    // this; the monitor tolerates a late call and reports nothing for it.
    virtual void stop() = 0;
    // The configuration as it is now; none when it cannot be read this time.
    virtual std::optional<StoreSnapshot> readSnapshot() = 0;
    // The internet addresses probed, in target order: a source that can ask
    // the system which route traffic to the first of each family takes goes
    // by that route. Returns whether that changes what it reads; sources
    // that go by their tables alone ignore it.
    virtual bool setInternetAddresses(const std::vector<ProbeAddress>& addresses) {
        (void)addresses;
        return false;
    }
};

}  // namespace nerivane
