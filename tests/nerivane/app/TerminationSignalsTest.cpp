// Where no signalfd can be made, ordinary handlers take over: a real SIGHUP
// raised in this process arrives as received() on the event loop.
#include <gtest/gtest.h>

#include <csignal>

#include "nerivane/app/TerminationSignals.h"
#include "support/qt/QtSupport.h"

namespace nerivane {
namespace {

TEST(TerminationSignals, HandlersTakeOverWithoutSignalfd) {
    test::application();
    TerminationSignals watcher(nullptr, false);
    ASSERT_TRUE(watcher.isWatching());
    EXPECT_EQ(watcher.mechanism(), TerminationSignals::Mechanism::handlers);
    std::vector<int> received;
    QObject::connect(&watcher, &TerminationSignals::received, [&](int signal) { received.push_back(signal); });
    ASSERT_EQ(::raise(SIGHUP), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(test::waitUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received, (std::vector<int>{SIGHUP, SIGTERM}));
}

}  // namespace
}  // namespace nerivane
