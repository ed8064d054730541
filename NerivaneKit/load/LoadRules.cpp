#include "NerivaneKit/load/LoadRules.h"

#include <algorithm>

namespace nerivane {
namespace {

bool busy(double bitsPerSecond, double capacity) {
    return bitsPerSecond >= LoadRules::busyFloor && bitsPerSecond >= capacity * LoadRules::busyShare;
}

bool idle(double bitsPerSecond, double capacity) {
    return bitsPerSecond < std::max(LoadRules::idleFloor, capacity * LoadRules::idleShare);
}

double lossRate(const RoleLoad& load) {
    return load.busyReplies > 0 ? static_cast<double>(load.busyLost) / load.busyReplies : 0;
}

}  // namespace

LoadClass LoadRules::classify(double upload, double download, const LinkCapacity& capacity, double localUpload,
                              double localDownload) {
    const bool up = busy(upload, capacity.uploadBitsPerSecond);
    const bool down = busy(download, capacity.downloadBitsPerSecond);
    if (up && down) return LoadClass::both;
    if (up) return LoadClass::upload;
    if (down) return LoadClass::download;
    if (idle(upload + localUpload, capacity.uploadBitsPerSecond) &&
        idle(download + localDownload, capacity.downloadBitsPerSecond))
        return LoadClass::idle;
    return LoadClass::unknown;
}

LoadClass LoadRules::merge(LoadClass first, LoadClass second) {
    const bool up = isBusy(first, LoadDirection::upload) || isBusy(second, LoadDirection::upload);
    const bool down = isBusy(first, LoadDirection::download) || isBusy(second, LoadDirection::download);
    if (up && down) return LoadClass::both;
    if (up) return LoadClass::upload;
    if (down) return LoadClass::download;
    return first == LoadClass::idle && second == LoadClass::idle ? LoadClass::idle : LoadClass::unknown;
}

LinkCapacity LoadRules::capacity(const LinkCapacity& remembered, const LinkCapacity& sessionPeak) {
    return {std::max(remembered.uploadBitsPerSecond, sessionPeak.uploadBitsPerSecond),
            std::max(remembered.downloadBitsPerSecond, sessionPeak.downloadBitsPerSecond)};
}

QueuePlace LoadRules::queuePlace(const std::optional<RoleLoad>& router, const std::optional<RoleLoad>& internet) {
    const bool routerLatency = router && router->added >= queueRiseMilliseconds;
    const bool routerLoss = router && lossRate(*router) >= queueLossRate;
    // Without internet figures only the router can tell, and then the
    // queue it shows is on this side. Without router figures (too few busy
    // router probes yet, or no router to measure) nobody can tell whether
    // the router rose with the internet.
    if (!internet) return routerLatency || routerLoss ? QueuePlace::thisSide : QueuePlace::unknown;
    if (!router) return QueuePlace::unknown;
    const bool internetLatency = internet->added >= queueRiseMilliseconds;
    const bool internetLoss = lossRate(*internet) >= queueLossRate;
    if (!internetLatency && !internetLoss) return QueuePlace::unknown;
    // The router rises with the internet when it carries a fair share of
    // the rise: then the queue sits before the router (Wi-Fi, this computer).
    const bool withLatency =
        internetLatency && routerLatency && router->added >= internet->added * queueRiseShare;
    const bool withLoss = internetLoss && routerLoss && lossRate(*router) >= lossRate(*internet) * queueRiseShare;
    return withLatency || withLoss ? QueuePlace::thisSide : QueuePlace::beyondRouter;
}

}  // namespace nerivane
