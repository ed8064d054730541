#include <gtest/gtest.h>

#include <vector>

#include "NerivaneKit/load/RollingThroughput.h"

namespace nerivane {
namespace {

// Reads of `seconds` each carrying `bytes` up and none down; false: a gap before it.
struct Read {
    double seconds;
    std::uint64_t bytes;
    bool continuesRun = true;
};

TEST(RollingThroughput, TheNewestTenSecondsOfOneRun) {
    const struct {
        const char* name;
        std::vector<Read> reads;
        bool full;
        double upload;
    } rows[] = {
        {"ten one-second reads", std::vector<Read>(10, {1, 1000}), true, 8000},
        // 12 s: dropping the oldest would leave 9.
        {"three-second reads keep four", {{3, 3000}, {3, 3000}, {3, 3000}, {3, 3000}, {3, 6000}}, true, 10'000},
        {"a short run counts as ten seconds", {{2, 5000}}, false, 4000},
        {"a gap starts over", {{5, 50'000}, {5, 50'000}, {1, 1000, false}}, false, 800},
        {"a read without length is ignored", {{10, 1000}, {0, 99'000}}, true, 800},
    };
    for (const auto& row : rows) {
        RollingThroughput rolling;
        for (const Read& read : row.reads) rolling.add({0, read.seconds, read.bytes, 0}, read.continuesRun);
        EXPECT_EQ(rolling.full(), row.full) << row.name;
        EXPECT_DOUBLE_EQ(rolling.rate().uploadBitsPerSecond, row.upload) << row.name;
        EXPECT_EQ(rolling.rate().downloadBitsPerSecond, 0) << row.name;
        EXPECT_TRUE(rolling.invariantsHold()) << row.name;
    }
}

}  // namespace
}  // namespace nerivane
