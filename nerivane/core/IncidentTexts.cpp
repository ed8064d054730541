#include "nerivane/core/IncidentTexts.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>

namespace nerivane::IncidentTexts {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("IncidentTexts", text); }

// Each target once, first hit first.
std::vector<const NetworkEvent*> distinctTargets(const Incident& incident) {
    std::vector<const NetworkEvent*> seen;
    for (const auto& event : incident.events) {
        const bool known = std::any_of(seen.begin(), seen.end(), [&](const NetworkEvent* other) {
            return other->role == event.role && other->host == event.host;
        });
        if (!known) seen.push_back(&event);
    }
    return seen;
}

}  // namespace

QString targetName(const TargetRole& role, const std::string& host) {
    return QString::fromStdString(role.shownName(host));
}

QString title(const Incident& incident) { return QString::fromUtf8(incident.title()); }

QString targets(const Incident& incident) {
    const auto hit = distinctTargets(incident);
    QStringList names;
    for (const NetworkEvent* event : hit) {
        // Beside its IPv4 host the partner needs only its family.
        const bool twinListed = event->role.kind == TargetRole::Kind::internetIPv6 &&
                                std::any_of(hit.begin(), hit.end(), [&](const NetworkEvent* other) {
                                    return other->role.kind == TargetRole::Kind::internet && other->host == event->host;
                                });
        names << (twinListed ? tr("IPv6") : targetName(event->role, event->host));
    }
    return names.join(QStringLiteral(", "));
}

QString line(const Incident& incident) { return tr("%1 \u00b7 %2").arg(title(incident), targets(incident)); }

QString spoken(const Incident& incident, const VerdictTexts::Context& context) {
    QStringList names;
    for (const NetworkEvent* event : distinctTargets(incident)) names << targetName(event->role, event->host);
    QString text = tr("%1 at %2, %3: %4")
                       .arg(title(incident), VerdictTexts::timeText(incident.start, context),
                            VerdictTexts::durationText(incident.duration(), context), VerdictTexts::andList(names, context));
    if (incident.worstRTT) text += tr(", worst %1").arg(VerdictTexts::spokenMilliseconds(incident.worstRTT, context));
    return text;
}

}  // namespace nerivane::IncidentTexts
