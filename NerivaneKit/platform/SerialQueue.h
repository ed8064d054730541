// A serial work queue: one thread runs an Asio io_context, so work submitted
// to it runs one item at a time, in order. Service objects keep their state on
// one queue and touch it nowhere else.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

#include "NerivaneKit/platform/DelayedWork.h"

namespace nerivane {

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Stops the thread; work still queued is dropped without running.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    void async(std::function<void()> work);

    // Runs work on the queue and waits for it. Calling it from the queue's own
    // thread would deadlock and is a programming error (checked).
    void sync(const std::function<void()>& work);

    template <class F>
    auto syncResult(F&& work) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            sync(work);
        } else {
            std::optional<R> result;
            sync([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    // Runs work after the delay unless the returned handle is cancelled first.
    DelayedWork asyncAfter(std::chrono::nanoseconds delay, std::function<void()> work);

    bool isCurrent() const;
    // Aborts with the queue's label when not called on this queue.
    void precondition() const;

    asio::io_context& context() { return *context_; }

private:
    std::string label_;
    std::shared_ptr<asio::io_context> context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
    std::thread::id threadId_;
};

}  // namespace nerivane
