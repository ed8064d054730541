// A repeating timer on a SerialQueue. Each expiry is the previous expiry plus
// the period, so the timer does not drift however long its handler runs.
// Lives on its queue: construct, start, cancel and destroy it there.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace nerivane {

class SerialQueue;

class RepeatingTimer {
public:
    RepeatingTimer(SerialQueue& queue, std::function<void()> handler);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // (Re)starts the timer: first firing one period from now, then every period.
    void start(std::chrono::nanoseconds period);
    void cancel();

    bool isRunning() const;
    std::chrono::nanoseconds period() const;

private:
    struct State;
    void arm();
    SerialQueue& queue_;
    std::shared_ptr<State> state_;
};

}  // namespace nerivane
