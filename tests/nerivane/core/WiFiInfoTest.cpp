#include <gtest/gtest.h>

#include <linux/nl80211.h>

#include "nerivane/core/WiFiInfo.h"

namespace nerivane {
namespace {

TEST(WiFiInfo, ChannelNumbersAcrossTheBands) {
    EXPECT_EQ(WiFiInfo::channelNumber(2412), 1);
    EXPECT_EQ(WiFiInfo::channelNumber(2472), 13);
    EXPECT_EQ(WiFiInfo::channelNumber(2484), 14);
    EXPECT_EQ(WiFiInfo::channelNumber(4920), 184);
    EXPECT_EQ(WiFiInfo::channelNumber(5180), 36);
    EXPECT_EQ(WiFiInfo::channelNumber(5825), 165);
    EXPECT_EQ(WiFiInfo::channelNumber(5935), 2);
    EXPECT_EQ(WiFiInfo::channelNumber(5955), 1);
    EXPECT_EQ(WiFiInfo::channelNumber(7115), 233);
    EXPECT_EQ(WiFiInfo::channelNumber(0), std::nullopt);
    EXPECT_EQ(WiFiInfo::channelNumber(58320), std::nullopt);
}

TEST(WiFiInfo, BandsByFrequency) {
    EXPECT_EQ(WiFiInfo::bandName(2412), "2.4 GHz");
    EXPECT_EQ(WiFiInfo::bandName(2484), "2.4 GHz");
    EXPECT_EQ(WiFiInfo::bandName(4920), "5 GHz");
    EXPECT_EQ(WiFiInfo::bandName(5825), "5 GHz");
    EXPECT_EQ(WiFiInfo::bandName(5935), "6 GHz");
    EXPECT_EQ(WiFiInfo::bandName(7115), "6 GHz");
    EXPECT_EQ(WiFiInfo::bandName(0), std::nullopt);
    EXPECT_EQ(WiFiInfo::bandName(60480), std::nullopt);
}

TEST(WiFiInfo, WidthsInMegahertz) {
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_20_NOHT), 20);
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_20), 20);
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_40), 40);
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_80), 80);
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_80P80), 160);
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_160), 160);
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_5), std::nullopt);
    EXPECT_EQ(WiFiInfo::widthMHz(NL80211_CHAN_WIDTH_320), std::nullopt);
    EXPECT_EQ(WiFiInfo::widthMHz(99), std::nullopt);
}

TEST(WiFiInfo, NoSignalMeansNoRecordAtAll) {
    EXPECT_EQ(WiFiInfo::from({}), std::nullopt);
    WiFiInfo::Radio unassociated;
    unassociated.signal = 0;
    unassociated.noise = -95;
    unassociated.frequency = 5180;
    EXPECT_EQ(WiFiInfo::from(unassociated), std::nullopt);
}

TEST(WiFiInfo, RecordFromTheRadio) {
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

TEST(WiFiInfo, NonWirelessAndMissingInterfacesGiveNothing) {
    EXPECT_EQ(WiFiInfo::read("lo"), std::nullopt);
    EXPECT_EQ(WiFiInfo::read("nvt-missing0"), std::nullopt);
    EXPECT_EQ(WiFiInfo::read(""), std::nullopt);
    EXPECT_EQ(WiFiInfo::readSignal("lo"), std::nullopt);
}

TEST(WiFiInfo, LocalAddressOfLoopbackIsItsIPv4Address) {
    // lo carries ::1 as well; the IPv4 address wins whatever the order.
    EXPECT_EQ(WiFiInfo::localAddress("lo"), "127.0.0.1");
    EXPECT_EQ(WiFiInfo::localAddress("nvt-missing0"), std::nullopt);
}

}  // namespace
}  // namespace nerivane
