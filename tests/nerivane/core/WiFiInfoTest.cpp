#include <gtest/gtest.h>

#include <linux/nl80211.h>

#include "nerivane/core/WiFiInfo.h"

namespace nerivane {
namespace {

TEST(WiFiInfo, RecordFromTheRadioChannelAndBandAtTheirEdgesAndNothingWithoutOne) {
    using Row = std::tuple<std::uint32_t, std::optional<int>, std::optional<std::string>>;
    for (const auto& [frequency, channel, band] :
         {Row{2484, 14, "2.4 GHz"}, Row{4920, 184, "5 GHz"}, Row{5935, 2, "6 GHz"}, Row{7115, 233, "6 GHz"}, Row{0, {}, {}}, Row{58320, {}, {}}}) {
        EXPECT_EQ(WiFiInfo::channelNumber(frequency), channel) << frequency;
        EXPECT_EQ(WiFiInfo::bandName(frequency), band) << frequency;
    }
    EXPECT_EQ(WiFiInfo::widthMHz(99), std::nullopt);
    // No signal means no record at all.
    WiFiInfo::Radio radio{.signal = {}, .noise = -92, .transmitRate = 866.7, .frequency = 5180, .channelWidth = NL80211_CHAN_WIDTH_80};
    EXPECT_EQ(WiFiInfo::from(radio), std::nullopt);
    radio.signal = -52;
    EXPECT_EQ(WiFiInfo::from(radio), (WiFiInfo{-52, -92, 866.7, 36, "5 GHz", 80}));

    for (const char* name : {"lo", "nvt-missing0", ""}) EXPECT_EQ(WiFiInfo::read(name), std::nullopt) << name;
    // lo carries ::1 as well; the IPv4 address wins whatever the order.
    EXPECT_EQ(WiFiInfo::localAddress("lo"), "127.0.0.1");
    EXPECT_EQ(WiFiInfo::localAddress("nvt-missing0"), std::nullopt);
}

}  // namespace
}  // namespace nerivane
