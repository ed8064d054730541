#include <gtest/gtest.h>

#include <linux/nl80211.h>

#include "nerivane/core/WiFiInfo.h"

namespace nerivane {
namespace {

TEST(WiFiInfo, ChannelsAndBandsByFrequencyAtTheBandEdges) {
    struct Case {
        std::uint32_t frequency;
        std::optional<int> channel;
        std::optional<std::string> band;
    };
    for (const auto& [frequency, channel, band] :
         {Case{2412, 1, "2.4 GHz"}, Case{2472, 13, "2.4 GHz"}, Case{2484, 14, "2.4 GHz"}, Case{4920, 184, "5 GHz"},
          Case{5180, 36, "5 GHz"}, Case{5825, 165, "5 GHz"}, Case{5935, 2, "6 GHz"}, Case{5955, 1, "6 GHz"},
          Case{7115, 233, "6 GHz"}, Case{0, std::nullopt, std::nullopt}, Case{58320, std::nullopt, std::nullopt},
          Case{60480, std::nullopt, std::nullopt}}) {
        EXPECT_EQ(WiFiInfo::channelNumber(frequency), channel) << frequency;
        EXPECT_EQ(WiFiInfo::bandName(frequency), band) << frequency;
    }
}

TEST(WiFiInfo, WidthsInMegahertz) {
    using Width = std::pair<int, std::optional<int>>;
    for (const auto& [width, megahertz] :
         {Width{NL80211_CHAN_WIDTH_20_NOHT, 20}, Width{NL80211_CHAN_WIDTH_20, 20}, Width{NL80211_CHAN_WIDTH_40, 40},
          Width{NL80211_CHAN_WIDTH_80, 80}, Width{NL80211_CHAN_WIDTH_80P80, 160}, Width{NL80211_CHAN_WIDTH_160, 160},
          Width{NL80211_CHAN_WIDTH_5, std::nullopt}, Width{NL80211_CHAN_WIDTH_320, std::nullopt}, Width{99, std::nullopt}})
        EXPECT_EQ(WiFiInfo::widthMHz(width), megahertz) << width;
}

TEST(WiFiInfo, RecordFromTheRadio) {
    // No signal means no record at all.
    EXPECT_EQ(WiFiInfo::from({}), std::nullopt);
    WiFiInfo::Radio unassociated;
    unassociated.signal = 0;
    unassociated.noise = -95;
    unassociated.frequency = 5180;
    EXPECT_EQ(WiFiInfo::from(unassociated), std::nullopt);

    WiFiInfo::Radio radio;
    radio.signal = -52;
    radio.noise = -92;
    radio.transmitRate = 866.7;
    radio.frequency = 5180;
    radio.channelWidth = NL80211_CHAN_WIDTH_80;
    EXPECT_EQ(WiFiInfo::from(radio), (WiFiInfo{-52, -92, 866.7, 36, "5 GHz", 80}));

    // Without the operating channel there is no channel, band or width.
    radio.frequency.reset();
    EXPECT_EQ(WiFiInfo::from(radio), (WiFiInfo{-52, -92, 866.7, std::nullopt, std::nullopt, std::nullopt}));

    // An unknown width leaves only the width out; a driver without noise or rate reads 0.
    WiFiInfo::Radio sparse;
    sparse.signal = -70;
    sparse.frequency = 2437;
    sparse.channelWidth = NL80211_CHAN_WIDTH_10;
    EXPECT_EQ(WiFiInfo::from(sparse), (WiFiInfo{-70, 0, 0, 6, "2.4 GHz", std::nullopt}));
}

TEST(WiFiInfo, NonWirelessAndMissingInterfacesGiveNothingButLoopbacksIPv4Address) {
    EXPECT_EQ(WiFiInfo::read("lo"), std::nullopt);
    EXPECT_EQ(WiFiInfo::read("nvt-missing0"), std::nullopt);
    EXPECT_EQ(WiFiInfo::read(""), std::nullopt);
    EXPECT_EQ(WiFiInfo::readSignal("lo"), std::nullopt);
    // lo carries ::1 as well; the IPv4 address wins whatever the order.
    EXPECT_EQ(WiFiInfo::localAddress("lo"), "127.0.0.1");
    EXPECT_EQ(WiFiInfo::localAddress("nvt-missing0"), std::nullopt);
}

}  // namespace
}  // namespace nerivane
