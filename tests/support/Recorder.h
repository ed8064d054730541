// Collects what a component reports from its own thread or queue, with the
// arrival times, and lets a test wait for a condition over everything seen so
// far. Safe to feed from any thread; one per test.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane::test {

using SteadyClock = std::chrono::steady_clock;

// Polls until the predicate holds, generously; false on time-out.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = SteadyClock::now() + limit;
    while (!predicate()) {
        if (SteadyClock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

template <class T>
class Recorder {
public:
    struct Entry {
        T value;
        SteadyClock::time_point at;
        std::uint64_t realtime = 0;  // for lining up with logs of other processes
    };

    void operator()(const T& value) {
        std::lock_guard lock(mutex_);
        values_.push_back(value);
        entries_.push_back({value, SteadyClock::now(), static_cast<std::uint64_t>(MachClock::realtimeNow().time_since_epoch().count())});
        changed_.notify_all();
    }
    std::vector<T> values() const { std::lock_guard lock(mutex_); return values_; }
    std::vector<Entry> entries() const { std::lock_guard lock(mutex_); return entries_; }
    // Everything so far, which is then forgotten.
    std::vector<T> take() {
        std::lock_guard lock(mutex_);
        entries_.clear();
        return std::exchange(values_, {});
    }
    template <class Predicate>
    std::size_t countIf(Predicate predicate) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(values_.begin(), values_.end(), predicate));
    }

    // Waits until `predicate(values)` holds; false when it did not within `limit`.
    template <class Predicate>
    bool waitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return predicate(std::as_const(values_)); });
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitFor([count](const std::vector<T>& values) { return values.size() >= count; }, limit);
    }
    // Waits until at least `count` values satisfy the predicate.
    template <class Predicate>
    bool waitForCountIf(Predicate predicate, std::size_t count = 1, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitFor([&](const std::vector<T>& values) { return std::ranges::count_if(values, predicate) >= static_cast<std::ptrdiff_t>(count); }, limit);
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
    std::vector<Entry> entries_;
};

}  // namespace nerivane::test
