// A handle on work scheduled with SerialQueue::asyncAfter. Cancelling it from
// any thread keeps the work from running; a default handle holds nothing.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <memory>

namespace nerivane {

class DelayedWork {
public:
    struct State {
        explicit State(asio::io_context& context) : timer(context) {}
        asio::steady_timer timer;
        std::atomic<bool> cancelled{false};
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
