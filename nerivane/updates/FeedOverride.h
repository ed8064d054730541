// The developer override of the update feed (NERIVANE_FEED_URL), which may
// only point at this machine: the text is parsed as a URL and must be http
// on the host localhost, 127.0.0.1 or ::1, with an explicit port and without
// user info. A text that merely starts like such a URL is not enough, since
// "http://localhost:1@evil.example/" names the host evil.example. Pure.
#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace nerivane::FeedOverride {

// The URL when the text is an acceptable override; none otherwise.
std::optional<QUrl> parse(const QString& text);

// The feed to use: the override when it is acceptable (a refused one is
// logged and ignored), else the built-in address (none when empty).
std::optional<QUrl> choose(const std::optional<QString>& override, const QString& builtIn);

}  // namespace nerivane::FeedOverride
