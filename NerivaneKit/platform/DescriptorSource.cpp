#include "NerivaneKit/platform/DescriptorSource.h"

#include <asio/posix/stream_descriptor.hpp>

#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {

struct DescriptorSource::State {
    State(asio::io_context& context, int fd, Readiness readiness, std::function<void()> handler)
        : stream(context, fd), readiness(readiness), handler(std::move(handler)) {}
    asio::posix::stream_descriptor stream;
    Readiness readiness;
    std::function<void()> handler;
    int fd = -1;
    bool cancelled = false;
};

DescriptorSource::DescriptorSource(SerialQueue& queue, UniqueFd descriptor, Readiness readiness,
                                   std::function<void()> handler) {
    const int fd = descriptor.get();
    // If the event loop refuses the descriptor (asio throws), `descriptor`
    // still owns it and closes it.
    state_ = std::make_shared<State>(queue.context(), fd, readiness, std::move(handler));
    descriptor.release();
    state_->fd = fd;
    arm(state_);
}

DescriptorSource::~DescriptorSource() { cancel(); }

int DescriptorSource::descriptor() const { return state_->cancelled ? -1 : state_->fd; }
bool DescriptorSource::isCancelled() const { return state_->cancelled; }

void DescriptorSource::cancel() {
    if (state_->cancelled) return;
    state_->cancelled = true;
    std::error_code ignored;
    state_->stream.close(ignored);  // also aborts the pending wait
}

void DescriptorSource::arm(const std::shared_ptr<State>& state) {
    const auto wait = state->readiness == Readiness::read ? asio::posix::stream_descriptor::wait_read
                                                         : asio::posix::stream_descriptor::wait_write;
    std::weak_ptr<State> weak = state;
    state->stream.async_wait(wait, [weak](const std::error_code& error) {
        auto state = weak.lock();
        if (error || !state || state->cancelled) return;
        auto handler = state->handler;
        handler();
        if (!state->cancelled) arm(state);
    });
}

}  // namespace nerivane
