#include "NerivaneKit/platform/RepeatingTimer.h"

#include <asio/steady_timer.hpp>

#include <algorithm>

#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

// A zero or negative period would spin the queue.
constexpr std::chrono::nanoseconds minimumPeriod{1'000'000};

}  // namespace

struct RepeatingTimer::State {
    explicit State(asio::io_context& context, std::function<void()> handler)
        : timer(context), handler(std::move(handler)) {}
    asio::steady_timer timer;
    std::function<void()> handler;
    std::chrono::nanoseconds period{0};
    std::chrono::steady_clock::time_point expiry;
    // Raised by every start and cancel, so a wait armed earlier finds itself stale.
    unsigned generation = 0;
    bool running = false;
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::function<void()> handler)
    : queue_(queue), state_(std::make_shared<State>(queue.context(), std::move(handler))) {}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::start(std::chrono::nanoseconds period) {
    period = std::max(period, minimumPeriod);
    state_->generation += 1;
    state_->period = period;
    state_->expiry = std::chrono::steady_clock::now() + period;
    state_->running = true;
    arm();
}

void RepeatingTimer::cancel() {
    state_->generation += 1;
    state_->running = false;
    state_->timer.cancel();
}

bool RepeatingTimer::isRunning() const { return state_->running; }
std::chrono::nanoseconds RepeatingTimer::period() const { return state_->period; }

void RepeatingTimer::arm() {
    auto& state = *state_;
    state.timer.expires_at(state.expiry);
    const unsigned generation = state.generation;
    std::weak_ptr<State> weak = state_;
    state.timer.async_wait([this, weak, generation](const std::error_code& error) {
        auto state = weak.lock();
        if (error || !state || state->generation != generation || !state->running) return;
        // Next expiry on the grid start + k * period. Expiries that already
        // passed (a handler or the machine stalled for several periods) are
        // skipped rather than fired back to back, so a stall never turns
        // into a burst of rounds.
        state->expiry += state->period;
        const auto now = std::chrono::steady_clock::now();
        if (state->expiry <= now) state->expiry += ((now - state->expiry) / state->period + 1) * state->period;
        arm();
        // The handler may cancel, restart or destroy this timer; nothing is
        // touched after it returns.
        auto handler = state->handler;
        handler();
    });
}

}  // namespace nerivane
