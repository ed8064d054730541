#include "NerivaneKit/platform/DelayedWork.h"

#include <asio/post.hpp>

namespace nerivane {

void DelayedWork::cancel() {
    if (!state_) return;
    if (state_->cancelled.exchange(true)) return;
    // The timer itself may only be touched on its queue; the flag alone already
    // keeps the work from running, this just frees the wait early.
    asio::post(state_->timer.get_executor(), [state = state_] { state->timer.cancel(); });
}

}  // namespace nerivane
