// Which release feeds are taken, which are refused with what reason, and
// which release a feed offers.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "nerivane/updates/ReleaseFeed.h"

namespace nerivane {
namespace {

// One item's parts as a feed writes them; the table spoils some.
struct Entry {
    QString version = "1.10.0", shortVersion = "1.10", notes = "https://nerivane.invalid/1.10.html",
            url = "https://nerivane.invalid/nerivane_1.10.0%2Bfix_amd64.deb", length = "123456",
            signature = QByteArray(64, 'z').toBase64();
    bool enclosure = true;
};

QByteArray feed(const std::vector<std::function<void(Entry&)>>& spoils) {
    QString items;
    for (const auto& spoil : spoils) {
        Entry e;
        spoil(e);
        items += "<item><n:version>" + e.version + "</n:version><n:shortVersion>" + e.shortVersion +
                 "</n:shortVersion><n:releaseNotesLink>" + e.notes + "</n:releaseNotesLink>" +
                 (e.enclosure ? "<enclosure url=\"" + e.url + "\" length=\"" + e.length + "\" n:signature=\"" + e.signature + "\"/>" : "") +
                 "</item>";
    }
    return ("<rss version=\"2.0\" xmlns:n=\"urn:nerivane:release\"><channel>" + items + "</channel></rss>").toUtf8();
}

const auto asIs = [](Entry&) {};

TEST(ReleaseFeed, AFeedIsTakenWholeOrRefusedWithTheFirstReason) {
    const std::pair<QByteArray, QString> refused[] = {
        {"<rss><channel>", "Premature end of document."},
        {"<feed/>", "not an RSS document"},
        {"<rss version=\"2.0\"/>", "no channel"},
        {feed({asIs, [](Entry& e) { e.version = " "; }}), "item 2 has no version"},
        {feed({[](Entry& e) { e.enclosure = false; }}), "item 1 has no download link"},
        {feed({[](Entry& e) { e.url = "ftp://nerivane.invalid/n.deb"; }}), "item 1 has no download link"},
        {feed({[](Entry& e) { e.url = "nerivane_1.10.0_amd64.deb"; }}), "item 1 has no download link"},
        {feed({[](Entry& e) { e.length = "0"; }}), "item 1 has no download length"},
        {feed({[](Entry& e) { e.length = "12kB"; }}), "item 1 has no download length"},
        {feed({[](Entry& e) { e.signature = ""; }}), "item 1 has no signature"},
        {feed({[](Entry& e) { e.signature = QByteArray(63, 'z').toBase64(); }}), "item 1 has no signature"},
        {feed({[](Entry& e) { e.signature = "not*base64"; }}), "item 1 has no signature"},
    };
    for (const auto& [document, reason] : refused) {
        const auto parsed = ReleaseFeed::parse(document);
        ASSERT_TRUE(std::holds_alternative<QString>(parsed)) << document.toStdString();
        EXPECT_EQ(std::get<QString>(parsed), reason) << document.toStdString();
    }

    // Taken: only signed text is shown, a notes link that is no web page is dropped,
    // and the published name is the enclosure's, decoded.
    const auto taken = ReleaseFeed::parse(feed({asIs, [](Entry& e) { e.version = "1.9", e.shortVersion = "2.0", e.notes = "file:///etc/passwd"; }}));
    ASSERT_TRUE(std::holds_alternative<ReleaseFeed>(taken)) << std::get<QString>(taken).toStdString();
    const auto& items = std::get<ReleaseFeed>(taken).items;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::tuple(items[0].shortVersion, items[0].releaseNotes, items[0].length, items[0].signature),
              std::tuple(QString("1.10"), QUrl("https://nerivane.invalid/1.10.html"), qint64{123456}, QByteArray(64, 'z')));
    EXPECT_EQ(items[0].publishedName(), "nerivane_1.10.0+fix_amd64.deb");
    EXPECT_EQ(std::tuple(items[1].shortVersion, items[1].releaseNotes), std::tuple(QString("1.9"), QUrl()));
}

TEST(ReleaseFeed, TheNewestIsTheHighestVersionWhereverItStands) {
    // Of equal versions the first; none of no items.
    for (const auto& [versions, newest] : std::vector<std::pair<QStringList, QString>>{
             {{"1.9", "1.10", "1.2"}, "1.10"}, {{"1.10.0", "1.10"}, "1.10.0"}, {{"x", "0.0.1"}, "0.0.1"}, {{}, "none"}}) {
        ReleaseFeed feed;
        for (const auto& version : versions) feed.items.emplace_back().version = version;
        EXPECT_EQ(feed.newest() ? feed.newest()->version : "none", newest) << versions.join(' ').toStdString();
    }
}

}  // namespace
}  // namespace nerivane
