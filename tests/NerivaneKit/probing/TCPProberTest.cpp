// Connection attempts against a listener of our own that never answers, on
// loopback (127.0.0.1 and ::1) in a private network namespace. Accepted and
// refused attempts are measured by the engine's tests and its lab stories.
#include <gtest/gtest.h>

#include "support/LoopbackNetwork.h"
#include "support/Printers.h"
#include "NerivaneKit/platform/SerialQueue.h"
#include "NerivaneKit/probing/TCPProber.h"
#include "support/Recorder.h"

namespace nerivane {
namespace {

using namespace std::chrono_literals;
using test::SilentTarget;

constexpr std::uint64_t second = 1'000'000'000ull, start = 1'000 * second;
const ProbeResult::Outcome lost = ProbeResult::Lost{};
Ticks tick(std::uint64_t nanoseconds) { return Ticks{std::chrono::nanoseconds(nanoseconds)}; }

class TCPProberTest : public ::testing::TestWithParam<IPFamily> {};

// A prober on its own queue, with a clock the test moves by hand.
TEST_P(TCPProberTest, SilentAttemptsAreLostOldestFirstOnTheFirstExpireAfterTheTimeOut) {
    const auto failure = test::runInPrivateNetwork({}, [&] {
        SilentTarget target(GetParam());
        ASSERT_TRUE(target.silent) << "the kernel answered every connection";
        const ProbeAddress address = test::loopback(GetParam());
        std::atomic<std::uint64_t> now{start};
        TCPProber::Environment environment;
        environment.now = [&] { return tick(now.load()); };
        SerialQueue queue{"org.nerivane.Nerivane.probe"};
        test::Recorder<ProbeResult> results;
        std::unique_ptr<TCPProber> prober;
        queue.sync([&] { prober = std::make_unique<TCPProber>(queue, Seconds{2}, std::ref(results), environment); });
        const auto send = [&] { return queue.syncResult([&] { return prober->send(address, target.listener.port); }); };
        const auto expire = [&] { queue.sync([&] { prober->expire(); }); };

        const std::uint16_t first = send();
        now += second / 2;
        const std::uint16_t next = send();
        std::this_thread::sleep_for(200ms);
        now += 3 * second / 2;  // the first is exactly 2 s old: not yet over
        expire();
        EXPECT_TRUE(results.values().empty());
        now += 1;
        expire();
        EXPECT_EQ(results.values(), (std::vector<ProbeResult>{{address, first, tick(start), lost}}));
        now += second;
        expire();
        EXPECT_EQ(results.take(), (std::vector<ProbeResult>{{address, first, tick(start), lost}, {address, next, tick(start + second / 2), lost}}));
        // Expiring together, they come oldest first, although here sequences
        // and send times run in opposite orders: the clock steps back between sends.
        for (int i = 0; i < 3; ++i, now -= second / 10) send();
        now += 10 * second;
        expire();
        const auto list = results.values();
        ASSERT_EQ(list.size(), 3u);
        EXPECT_EQ(std::vector<std::uint16_t>({list[0].sequence, list[1].sequence, list[2].sequence}),
                  std::vector<std::uint16_t>({4, 3, 2}));
        queue.sync([&] { prober.reset(); });
    });
    if (failure) GTEST_SKIP() << *failure;
}

INSTANTIATE_TEST_SUITE_P(Loopback, TCPProberTest, ::testing::Values(IPFamily::v4, IPFamily::v6),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

}  // namespace
}  // namespace nerivane
