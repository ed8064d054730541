// Calls a handler on a SerialQueue each time a descriptor becomes readable (or
// writable). Owns the descriptor: cancelling or destroying the source closes
// it. Lives on its queue: construct, cancel and destroy it there.
#pragma once

#include <functional>
#include <memory>

#include "NerivaneKit/platform/UniqueFd.h"

namespace nerivane {

class SerialQueue;

class DescriptorSource {
public:
    enum class Readiness { read, write };

    // The handler runs on the queue for every readiness event until the
    // source is cancelled; it may cancel or destroy the source itself.
    DescriptorSource(SerialQueue& queue, UniqueFd descriptor, Readiness readiness, std::function<void()> handler);
    ~DescriptorSource();
    DescriptorSource(const DescriptorSource&) = delete;
    DescriptorSource& operator=(const DescriptorSource&) = delete;

    int descriptor() const;
    bool isCancelled() const;
    // Stops the events and closes the descriptor.
    void cancel();

private:
    struct State;
    static void arm(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

}  // namespace nerivane
