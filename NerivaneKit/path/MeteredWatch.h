// Follows NetworkManager's Metered property on the system bus, which tells
// whether the network is expensive. Owned by NetlinkPathSource on the path
// monitor's queue; bus calls may block, so they run on a private queue of
// their own and only the values come back to the owner's queue.
// Without a system bus or without NetworkManager the value is false, quietly.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {

class MeteredWatch {
public:
    // onValue runs on `queue`: once with the first value, then whenever it
    // changes. busAddress none means the system bus; a test passes the address
    // of a bus of its own.
    MeteredWatch(SerialQueue& queue, std::function<void(bool isExpensive)> onValue,
                 std::optional<std::string> busAddress = std::nullopt);
    // Closes the bus connection; values still on their way are dropped.
    // Destroy it on `queue`.
    ~MeteredWatch();
    MeteredWatch(const MeteredWatch&) = delete;
    MeteredWatch& operator=(const MeteredWatch&) = delete;

    // NetworkManager's metered values that count as expensive: yes and
    // guess-yes (NMMetered 1 and 3).
    static bool isExpensive(unsigned metered) { return metered == 1 || metered == 3; }

private:
    struct Bus;
    SerialQueue busQueue_;
    std::unique_ptr<Bus> bus_;  // used only on busQueue_
    std::shared_ptr<bool> alive_;
};

}  // namespace nerivane
