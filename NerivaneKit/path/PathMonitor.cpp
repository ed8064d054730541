#include "NerivaneKit/path/PathMonitor.h"

#include "NerivaneKit/path/NetlinkPathSource.h"
#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {

// The monitor's state, shared with the callbacks it hands out; they hold it
// weakly so a pending read never keeps a destroyed monitor alive. Touched only
// on the queue.
struct PathMonitor::Core : std::enable_shared_from_this<Core> {
    Core(SerialQueue& queue, OnChange onChange, std::unique_ptr<PathSource> source)
        : queue(queue), onChange(std::move(onChange)), source(std::move(source)) {}

    SerialQueue& queue;
    OnChange onChange;
    std::unique_ptr<PathSource> source;
    // The source is started and could open the configuration; a read with it
    // closed reports nothing.
    bool storeOpen = false;
    // The latest facts delivered; none before the first delivery.
    std::optional<PathFacts> facts;
    DelayedWork pendingRead;
    std::optional<NetworkPath> lastPath;

    void start() {
        if (storeOpen) source->stop();
        std::weak_ptr<Core> weak = weak_from_this();
        PathSource::Handlers handlers;
        handlers.configurationChanged = [weak] {
            if (auto core = weak.lock()) core->scheduleRead();
        };
        handlers.factsDelivered = [weak](const PathFacts& facts) {
            if (auto core = weak.lock()) {
                core->facts = facts;
                core->scheduleRead();
            }
        };
        storeOpen = source->start(queue, std::move(handlers));
    }

    void stop() {
        if (storeOpen) source->stop();
        storeOpen = false;
        pendingRead.cancel();
    }

    void scheduleRead() {
        pendingRead.cancel();
        std::weak_ptr<Core> weak = weak_from_this();
        pendingRead = queue.asyncAfter(debounce, [weak] {
            if (auto core = weak.lock()) core->readAndReport();
        });
    }

    void readAndReport() {
        if (!storeOpen) return;
        auto snapshot = source->readSnapshot();
        if (!snapshot) {
            // A failed read (an interrupted dump, a full socket buffer) may
            // have missed a change; try again rather than keep a stale path.
            scheduleRead();
            return;
        }
        NetworkPath path = NetworkPath::compose(*snapshot, facts);
        if (lastPath && *lastPath == path) return;
        lastPath = path;
        onChange(path);
    }
};

PathMonitor::PathMonitor(SerialQueue& queue, OnChange onChange, std::unique_ptr<PathSource> source) {
    if (!source) source = std::make_unique<NetlinkPathSource>();
    core_ = std::make_shared<Core>(queue, std::move(onChange), std::move(source));
}

PathMonitor::~PathMonitor() {
    // The source's descriptors belong to the queue's thread.
    auto core = std::move(core_);
    auto teardown = [&core] {
        core->stop();
        core.reset();
    };
    if (core->queue.isCurrent()) teardown();
    else core->queue.sync(teardown);
}

void PathMonitor::start() {
    core_->queue.precondition();
    core_->start();
}

void PathMonitor::stop() {
    core_->queue.precondition();
    core_->stop();
}

void PathMonitor::setInternetAddresses(const std::vector<ProbeAddress>& addresses) {
    core_->queue.precondition();
    if (core_->source->setInternetAddresses(addresses) && core_->storeOpen) core_->scheduleRead();
}

std::optional<NetworkPath> PathMonitor::lastPath() const {
    core_->queue.precondition();
    return core_->lastPath;
}

}  // namespace nerivane
