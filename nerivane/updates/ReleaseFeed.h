// The release feed: an RSS 2.0 document whose items each describe one
// release with elements in the namespace "urn:nerivane:release":
//
//   <item>
//     <nerivane:version>1.10.0</nerivane:version>
//     <nerivane:shortVersion>1.10</nerivane:shortVersion>
//     <nerivane:releaseNotesLink>https://.../1.10.html</nerivane:releaseNotesLink>
//     <enclosure url="https://.../nerivane_1.10.0_amd64.deb" length="123456"
//                type="application/vnd.debian.binary-package"
//                nerivane:signature="(base64 Ed25519 signature)"/>
//   </item>
//
// The signature covers the version, the enclosure's file name and the file
// (see ReleaseMessage). A short version that does not name the same release
// as the version is ignored: only signed text is shown.
//
// A feed is taken whole or not at all: malformed XML, or an item lacking its
// version, a usable download link, its length or its signature, rejects it.
// Pure.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>
#include <variant>
#include <vector>

namespace nerivane {

struct ReleaseFeed {
    static constexpr const char* namespaceURI = "urn:nerivane:release";

    struct Item {
        QString version;
        // What the user is shown; the version when the feed gives none.
        QString shortVersion;
        QUrl releaseNotes;
        QUrl download;
        qint64 length = 0;
        // Raw 64 bytes.
        QByteArray signature;
        bool operator==(const Item&) const = default;

        // The file name the enclosure publishes: its last path segment,
        // percent-decoded, as signed. Raw feed text: never a path as it is.
        QString publishedName() const;
    };

    std::vector<Item> items;
    bool operator==(const ReleaseFeed&) const = default;

    // The feed, or the reason it was rejected.
    static std::variant<ReleaseFeed, QString> parse(const QByteArray& document);

    // The item with the highest version; none for an empty feed.
    std::optional<Item> newest() const;
};

}  // namespace nerivane
