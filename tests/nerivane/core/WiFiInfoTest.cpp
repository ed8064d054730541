#include <gtest/gtest.h>

#include <linux/nl80211.h>

#include "nerivane/core/WiFiInfo.h"

namespace nerivane {
namespace {

TEST(WiFiInfo, ChannelBandAndWidthAtTheirEdges) {
    using Row = std::tuple<std::uint32_t, std::optional<int>, std::optional<std::string>>;
    for (const auto& [frequency, channel, band] :
         {Row{2412, 1, "2.4 GHz"}, Row{2484, 14, "2.4 GHz"}, Row{4920, 184, "5 GHz"}, Row{5825, 165, "5 GHz"},
          Row{5935, 2, "6 GHz"}, Row{5955, 1, "6 GHz"}, Row{7115, 233, "6 GHz"}, Row{0, {}, {}}, Row{58320, {}, {}}}) {
        EXPECT_EQ(WiFiInfo::channelNumber(frequency), channel) << frequency;
        EXPECT_EQ(WiFiInfo::bandName(frequency), band) << frequency;
    }
    using Width = std::pair<int, std::optional<int>>;
    for (const auto& [width, megahertz] : {Width{NL80211_CHAN_WIDTH_20_NOHT, 20}, Width{NL80211_CHAN_WIDTH_80P80, 160},
                                           Width{NL80211_CHAN_WIDTH_5, std::nullopt}, Width{99, std::nullopt}})
        EXPECT_EQ(WiFiInfo::widthMHz(width), megahertz) << width;
}

TEST(WiFiInfo, RecordFromTheRadioAndNothingWithoutOne) {
    // No signal means no record at all.
    WiFiInfo::Radio radio{.signal = {}, .noise = -92, .transmitRate = 866.7, .frequency = 5180, .channelWidth = NL80211_CHAN_WIDTH_80};
    EXPECT_EQ(WiFiInfo::from(radio), std::nullopt);
    radio.signal = -52;
    EXPECT_EQ(WiFiInfo::from(radio), (WiFiInfo{-52, -92, 866.7, 36, "5 GHz", 80}));
    // Without the operating channel there is no channel, band or width.
    radio.frequency.reset();
    EXPECT_EQ(WiFiInfo::from(radio), (WiFiInfo{-52, -92, 866.7, std::nullopt, std::nullopt, std::nullopt}));

    for (const char* name : {"lo", "nvt-missing0", ""}) EXPECT_EQ(WiFiInfo::read(name), std::nullopt) << name;
    EXPECT_EQ(WiFiInfo::readSignal("lo"), std::nullopt);
    // lo carries ::1 as well; the IPv4 address wins whatever the order.
    EXPECT_EQ(WiFiInfo::localAddress("lo"), "127.0.0.1");
    EXPECT_EQ(WiFiInfo::localAddress("nvt-missing0"), std::nullopt);
}

}  // namespace
}  // namespace nerivane
