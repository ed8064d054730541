// A handle on work scheduled with SerialQueue::asyncAfter. Cancelling it from
// any thread keeps the work from running; a default handle holds nothing.
#pragma once

#include <asio/steady_timer.hpp>

#include <atomic>
#include <memory>

namespace nerivane {

class DelayedWork {
public:
    struct State {
        std::atomic<bool> cancelled{false};
        // Owned by the pending wait alone, so a handle kept after its queue
        // is gone never holds (and later destroys) a timer of a dead loop.
        std::weak_ptr<asio::steady_timer> timer;
    };

    DelayedWork() = default;
    explicit DelayedWork(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void cancel();
    bool isCancelled() const { return state_ && state_->cancelled.load(); }
    explicit operator bool() const { return state_ != nullptr; }

private:
    std::shared_ptr<State> state_;
};

}  // namespace nerivane
