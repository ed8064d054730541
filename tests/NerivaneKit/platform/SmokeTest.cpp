#include <gtest/gtest.h>

#include "NerivaneKit/platform/SerialQueue.h"

namespace nerivane {
namespace {

TEST(SerialQueue, RunsWorkInOrderOnItsOwnThread) {
    SerialQueue queue("org.nerivane.Nerivane.test");
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) queue.async([&order, i] { order.push_back(i); });
    bool onQueue = false;
    queue.sync([&] { onQueue = queue.isCurrent(); });
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace nerivane
