#include "nerivane/updates/ReleaseFeed.h"

#include <QXmlStreamReader>

#include "nerivane/updates/Signature.h"
#include "nerivane/updates/Version.h"

namespace nerivane {
namespace {

bool isLink(const QUrl& url) {
    return url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")) &&
           !url.host().isEmpty();
}

// Reads one <item>, the reader standing on its start; the reason on failure.
std::variant<ReleaseFeed::Item, QString> readItem(QXmlStreamReader& xml, int number) {
    const QString ns = QString::fromLatin1(ReleaseFeed::namespaceURI);
    ReleaseFeed::Item item;
    bool hasEnclosure = false;
    QString signature;
    QString length;
    while (xml.readNextStartElement()) {
        const bool ours = xml.namespaceUri() == ns;
        const QStringView name = xml.name();
        if (ours && name == QLatin1String("version")) {
            item.version = xml.readElementText().trimmed();
        } else if (ours && name == QLatin1String("shortVersion")) {
            item.shortVersion = xml.readElementText().trimmed();
        } else if (ours && name == QLatin1String("releaseNotesLink")) {
            item.releaseNotes = QUrl(xml.readElementText().trimmed(), QUrl::StrictMode);
        } else if (xml.namespaceUri().isEmpty() && name == QLatin1String("enclosure")) {
            hasEnclosure = true;
            const QXmlStreamAttributes attributes = xml.attributes();
            item.download = QUrl(attributes.value(QLatin1String("url")).toString().trimmed(), QUrl::StrictMode);
            length = attributes.value(QLatin1String("length")).toString().trimmed();
            signature = attributes.value(ns, QLatin1String("signature")).toString().trimmed();
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError()) return xml.errorString();

    const QString which = QStringLiteral("item %1").arg(number);
    if (item.version.isEmpty()) return which + QStringLiteral(" has no version");
    if (!hasEnclosure || !isLink(item.download)) return which + QStringLiteral(" has no download link");
    bool ok = false;
    item.length = length.toLongLong(&ok);
    if (!ok || item.length <= 0) return which + QStringLiteral(" has no download length");
    item.signature = QByteArray::fromBase64(signature.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (signature.isEmpty() || static_cast<std::size_t>(item.signature.size()) != Signature::signatureBytes) {
        return which + QStringLiteral(" has no signature");
    }
    if (!item.releaseNotes.isEmpty() && !isLink(item.releaseNotes)) item.releaseNotes.clear();
    // Only signed text is shown: a short version naming another release is dropped.
    if (item.shortVersion.isEmpty() || Version::compare(item.shortVersion, item.version) != 0) {
        item.shortVersion = item.version;
    }
    return item;
}

}  // namespace

std::variant<ReleaseFeed, QString> ReleaseFeed::parse(const QByteArray& document) {
    QXmlStreamReader xml(document);
    ReleaseFeed feed;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("rss")) {
        return xml.hasError() ? xml.errorString() : QStringLiteral("not an RSS document");
    }
    bool sawChannel = false;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("channel")) {
            xml.skipCurrentElement();
            continue;
        }
        sawChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("item")) {
                xml.skipCurrentElement();
                continue;
            }
            auto item = readItem(xml, static_cast<int>(feed.items.size()) + 1);
            if (auto* reason = std::get_if<QString>(&item)) return *reason;
            feed.items.push_back(std::get<Item>(std::move(item)));
        }
    }
    // Anything after the root element, or a document cut short, is an error too.
    while (!xml.atEnd() && !xml.hasError()) xml.readNext();
    if (xml.hasError()) return xml.errorString();
    if (!sawChannel) return QStringLiteral("no channel");
    return feed;
}

QString ReleaseFeed::Item::publishedName() const {
    const QString path = download.path(QUrl::FullyEncoded);
    return QUrl::fromPercentEncoding(path.mid(path.lastIndexOf(u'/') + 1).toLatin1());
}

std::optional<ReleaseFeed::Item> ReleaseFeed::newest() const {
    std::optional<Item> best;
    for (const Item& item : items) {
        if (!best || Version::compare(item.version, best->version) > 0) best = item;
    }
    return best;
}

}  // namespace nerivane
