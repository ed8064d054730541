// Keeps the current NetworkPath and reports each distinct new value. Owned by
// the probe engine; lives on the engine's queue, where every callback, read
// and report runs. The facts come from a PathSource: by default the netlink
// one; a test or the engine may pass its own (e.g. a fake that delivers
// chosen StoreSnapshot and PathFacts values).
//
//   PathMonitor monitor(queue, [](const NetworkPath& path) { ... });
//   queue.async([&] { monitor.start(); });
//
// Changes are debounced: any burst of notifications closer together than
// 0.5 s yields one read, 0.5 s after the last of them. start() schedules no
// read itself; the source's first facts delivery brings the first one, and
// the first read is always reported. Afterwards onChange never sees two equal
// paths in a row.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "NerivaneKit/path/NetworkPath.h"
#include "NerivaneKit/path/PathSource.h"

namespace nerivane {

class SerialQueue;

class PathMonitor {
public:
    using OnChange = std::function<void(const NetworkPath&)>;

    static constexpr std::chrono::milliseconds debounce{500};

    // Creates the monitor; starts nothing. With no source the netlink source
    // is used. The queue must outlive the monitor.
    PathMonitor(SerialQueue& queue, OnChange onChange, std::unique_ptr<PathSource> source = nullptr);
    // Stops the source. Destroy the monitor on its queue or from a thread the
    // queue does not wait for; a read still scheduled then does nothing.
    ~PathMonitor();
    PathMonitor(const PathMonitor&) = delete;
    PathMonitor& operator=(const PathMonitor&) = delete;

    // Both on the queue. Starting again restarts the source; stopping cancels
    // a pending read and keeps the last facts and the last reported path.
    void start();
    void stop();

    // The internet addresses the engine probes, in target order: the path
    // follows the route the system gives the first of each family. A change
    // brings a debounced read. On the queue.
    void setInternetAddresses(const std::vector<ProbeAddress>& addresses);

    // The last path reported; none before the first report. On the queue.
    std::optional<NetworkPath> lastPath() const;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace nerivane
