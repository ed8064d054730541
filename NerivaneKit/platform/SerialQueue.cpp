#include "NerivaneKit/platform/SerialQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cstdio>
#include <cstdlib>
#include <pthread.h>

namespace nerivane {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)),
      context_(std::make_shared<asio::io_context>(1)),
      guard_(asio::make_work_guard(*context_)) {
    // Thread names are limited to 15 characters; the tail of the label is
    // the informative part (".probe", ".history").
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    // The thread shares the loop rather than reaching into this object: a
    // queue destroyed by its own work detaches the thread, which must still
    // unwind out of run() on a live loop.
    thread_ = std::thread([context = context_, name] {
        pthread_setname_np(pthread_self(), name.c_str());
        context->run();
    });
    // Taken from the handle, not handed over by the thread: waiting on a
    // promise that lives on this stack let the constructor return (and
    // destroy it) while the thread was still inside set_value. The thread
    // reads threadId_ only in work posted after construction.
    threadId_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
    guard_.reset();
    context_->stop();
    if (thread_.joinable()) {
        if (isCurrent()) thread_.detach();  // destroyed from its own work: cannot join itself
        else thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    asio::post(*context_, std::move(work));
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        std::fprintf(stderr, "SerialQueue %s: sync called from its own queue\n", label_.c_str());
        std::abort();
    }
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(*context_, [&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

DelayedWork SerialQueue::asyncAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
    auto state = std::make_shared<DelayedWork::State>();
    auto timer = std::make_shared<asio::steady_timer>(*context_);
    state->timer = timer;
    timer->expires_after(delay);
    timer->async_wait([state, timer, work = std::move(work)](const std::error_code& error) {
        if (error || state->cancelled.load()) return;
        work();
    });
    return DelayedWork(state);
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == threadId_; }

void SerialQueue::precondition() const {
    if (!isCurrent()) {
        std::fprintf(stderr, "precondition failed: not on queue %s\n", label_.c_str());
        std::abort();
    }
}

}  // namespace nerivane
