#include "nerivane/updates/FeedOverride.h"

#include "NerivaneKit/platform/Log.h"

namespace nerivane::FeedOverride {

std::optional<QUrl> parse(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("http")) return std::nullopt;
    if (!url.userInfo().isEmpty() || text.contains(u'@')) return std::nullopt;
    const QString host = url.host();
    if (host != QLatin1String("localhost") && host != QLatin1String("127.0.0.1") && host != QLatin1String("::1")) {
        return std::nullopt;
    }
    if (url.port() <= 0) return std::nullopt;
    return url;
}

std::optional<QUrl> choose(const std::optional<QString>& override, const QString& builtIn) {
    if (override && !override->isEmpty()) {
        if (auto url = parse(*override)) return url;
        Log("app").error("NERIVANE_FEED_URL ignored: not an http URL on localhost, 127.0.0.1 or ::1 with a port: " +
                         override->toStdString());
    }
    if (builtIn.isEmpty()) return std::nullopt;
    const QUrl url(builtIn, QUrl::StrictMode);
    // The built-in feed travels over the open network.
    if (!url.isValid() || url.scheme() != QLatin1String("https")) {
        Log("app").error("update feed ignored: not an https URL: " + builtIn.toStdString());
        return std::nullopt;
    }
    return url;
}

}  // namespace nerivane::FeedOverride
