#include "NerivaneKit/platform/DelayedWork.h"

#include <asio/post.hpp>

namespace nerivane {

void DelayedWork::cancel() {
    if (!state_) return;
    if (state_->cancelled.exchange(true)) return;
    // The timer itself may only be touched on its queue; the flag alone already
    // keeps the work from running, this just frees the wait (and whatever the
    // work holds) early.
    if (auto timer = state_->timer.lock()) asio::post(timer->get_executor(), [timer] { timer->cancel(); });
}

}  // namespace nerivane
