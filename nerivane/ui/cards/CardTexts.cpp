#include "nerivane/ui/cards/CardTexts.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <cmath>

#include "nerivane/core/IncidentTexts.h"

namespace nerivane::CardTexts {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("CardTexts", text); }

// "12 ms" -> ("12", "ms"); "1.2 s" -> ("1.2", "s"); "—" stays whole.
std::pair<QString, QString> splitUnit(const QString& text) {
    const auto blank = text.lastIndexOf(QLatin1Char(' '));
    if (blank < 0) return {text, QString()};
    return {text.left(blank), text.mid(blank + 1)};
}

Value milliseconds(const char* label, const char* meaning, std::optional<double> value, const Context& context) {
    const auto [number, unit] = splitUnit(VerdictTexts::millisecondsText(value));
    return {tr(label), number, unit, VerdictTexts::spokenMilliseconds(value, context), tr(meaning)};
}

}  // namespace

QString internetNote(Verdict verdict) {
    return verdict == Verdict::measuring ? tr("Measuring") : tr("No internet host resolved");
}

std::optional<QString> routerNote(const std::optional<TargetSnapshot>& router) {
    if (!router) return tr("No router on this network");
    if (router->status == TargetStatus::unreachableVPN) return tr("Router can't be reached through the VPN");
    if (router->status == TargetStatus::doesntAnswerPing) return tr("Router doesn't answer ping");
    return std::nullopt;
}

QStringList hostTags(const TargetSnapshot& target) {
    QStringList tags;
    if (target.target.address.family == IPFamily::v6) tags << tr("IPv6");
    if (target.status == TargetStatus::tcp) tags << tr("TCP");
    if (target.answeredLocally) tags << tr("answered locally");
    return tags;
}

QString hostName(const TargetSnapshot& target) {
    const auto kind = target.target.role.kind;
    if (kind == TargetRole::Kind::router || kind == TargetRole::Kind::internetIPv6)
        return QString::fromStdString(target.target.address.text());
    return QString::fromStdString(target.target.host);
}

QString stateLine(const TargetSnapshot& target, std::optional<Verdict> verdict, const Context& context) {
    const auto kind = target.state.kind;
    if (target.status == TargetStatus::warmingUp || kind == TargetState::Kind::measuring) return tr("Measuring");
    if (kind == TargetState::Kind::ok) return QString();
    if (kind == TargetState::Kind::down) {
        if (!target.outageSince) return tr("No reply");
        return tr("No reply since ") + VerdictTexts::timeText(*target.outageSince, context);
    }
    if (target.target.role.kind == TargetRole::Kind::router && verdict == Verdict::good) {
        return tr("Slow to answer ping; traffic through it is fine");
    }
    // Loss first, then latency, then jitter: the order of how much it hurts.
    QStringList problems;
    if (target.state.problems.contains(Problems::loss())) problems << tr("losing probes");
    if (target.state.problems.contains(Problems::latency())) problems << tr("slow");
    if (target.state.problems.contains(Problems::jitter())) problems << tr("high jitter");
    QString line = VerdictTexts::andList(problems, context);
    if (!line.isEmpty()) line[0] = line[0].toUpper();
    return line;
}

std::array<Value, 5> statistics(const Metrics& metrics, const Context& context) {
    Value loss{tr("loss"), QStringLiteral("—"), QString(), tr("%1 of %2 lost").arg(metrics.lost).arg(metrics.sent),
               tr("Probes without a reply in the last minute")};
    if (metrics.sent > 0) {
        loss.value = VerdictTexts::percentText(metrics.lost * 100.0 / metrics.sent);
    }
    return {milliseconds("median", "Median round-trip time of the last minute", metrics.median, context),
            milliseconds("p95", "95th percentile: 19 of 20 replies came faster", metrics.p95, context),
            milliseconds("min", "Minimum: the fastest reply, the line's own delay", metrics.baseline, context),
            milliseconds("jitter", "Jitter: how much one reply's time differs from the next", metrics.jitter, context), loss};
}

int lostInLastMinute(const std::vector<TraceSample>& samples, double now) {
    int lost = 0;
    for (const auto& sample : samples) {
        if (!sample.rtt && sample.sentAt >= now - 60 && sample.sentAt <= now) lost += 1;
    }
    return lost;
}

QString lostLine(int lost) {
    if (lost == 0) return tr("None lost in the last minute");
    return QString::number(lost) + tr(" lost in the last minute");
}

QString pathKindName(NetworkPath::Kind kind) {
    switch (kind) {
    case NetworkPath::Kind::wifi: return tr("Wi\u2011Fi");
    case NetworkPath::Kind::ethernet: return tr("Ethernet");
    case NetworkPath::Kind::cellular: return tr("Cellular");
    case NetworkPath::Kind::other: return tr("Other");
    }
    return tr("Other");
}

QString channelLine(const WiFiInfo& info) {
    QStringList parts;
    if (info.channel) parts << tr("ch ") + QString::number(*info.channel);
    if (info.band) parts << QString::fromStdString(*info.band);
    if (info.width) parts << QString::number(*info.width) + tr(" MHz");
    return parts.join(QStringLiteral(" · "));
}

std::vector<Value> wifiValues(const WiFiInfo& info) {
    std::vector<Value> values;
    const QString signal = QString::number(info.rssi);
    values.push_back({tr("signal"), signal, tr("dBm"), tr("signal ") + signal + tr(" dBm")});
    // A noise of 0 means the driver does not measure it: no noise and no
    // signal-to-noise figure rather than a made-up one.
    if (info.noise != 0) {
        const QString noise = QString::number(info.noise);
        values.push_back({tr("noise"), noise, tr("dBm"), tr("noise ") + noise + tr(" dBm")});
        const QString snr = QString::number(info.rssi - info.noise);
        values.push_back({tr("snr"), snr, tr("dB"), tr("signal to noise ") + snr + tr(" dB"),
                          tr("Signal-to-noise ratio: how far the signal stands above the noise")});
    }
    const QString rate = QString::number(std::llround(info.transmitRate));
    values.push_back({tr("rate"), rate, tr("Mbit/s"), rate + tr(" Mbit/s")});
    const QString band = channelLine(info);
    if (!band.isEmpty()) values.push_back({tr("band"), band, QString(), band});
    return values;
}

EventTexts eventTexts(const Incident& incident, const Context& context) {
    EventTexts texts;
    texts.title = IncidentTexts::title(incident);
    texts.targets = IncidentTexts::targets(incident);
    if (incident.worstRTT) texts.worst = VerdictTexts::millisecondsText(incident.worstRTT);
    // A unit after a space, as every figure in the popup: "42 s", "1 h 2 m".
    static const QRegularExpression unit(QStringLiteral("(\\d)([hms])\\b"));
    texts.duration = VerdictTexts::durationText(incident.duration(), context).replace(unit, QStringLiteral("\\1 \\2"));
    texts.start = VerdictTexts::timeText(incident.start, context);
    texts.spoken = IncidentTexts::spoken(incident, context);
    return texts;
}

QString firstRunText(const QString& dnsProbeName, bool checksForUpdates) {
    QString text = tr("nerivane sends small pings about once a second to your router, 1.1.1.1 (Cloudflare) and "
                      "8.8.8.8 (Google), or opens a TCP connection to port 443 of a host that does not answer "
                      "pings, and times the replies. Every 15 seconds it asks your DNS servers for %1 (every 5 "
                      "seconds while one fails).")
                       .arg(dnsProbeName);
    if (checksForUpdates) text += QLatin1Char(' ') + tr("It also checks for a newer version of nerivane.");
    return text + QLatin1Char(' ') + tr("Nothing else leaves your computer, and history stays on it.");
}

}  // namespace nerivane::CardTexts
