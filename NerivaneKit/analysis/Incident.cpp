#include "NerivaneKit/analysis/Incident.h"

#include <algorithm>

namespace nerivane {
namespace {

// Whether trouble at one target and trouble at the other can have one cause.
bool shareCause(const TargetRole& a, const TargetRole& b) {
    if (a.kind == TargetRole::Kind::router || b.kind == TargetRole::Kind::router) return true;
    if (a.isInternet() && b.isInternet()) return true;
    // The provider's edge lies on the way to every internet host.
    const auto onTheWay = [](const TargetRole& r) { return r.isInternet() || r.kind == TargetRole::Kind::provider; };
    if (onTheWay(a) && onTheWay(b)) return true;
    return a == b;
}

bool joins(const Incident& incident, const NetworkEvent& event) {
    if (incident.kind != event.kind) return false;
    if (event.start > incident.end + Incident::adjacentSeconds) return false;
    return std::any_of(incident.events.begin(), incident.events.end(),
                       [&](const NetworkEvent& member) { return shareCause(member.role, event.role); });
}

void add(Incident& incident, const NetworkEvent& event) {
    incident.start = std::min(incident.start, event.start);
    incident.end = std::max(incident.end, event.end);
    if (event.worstRTT) incident.worstRTT = std::max(incident.worstRTT.value_or(*event.worstRTT), *event.worstRTT);
    incident.events.push_back(event);
}

LoadClass busyDuring(const Incident& incident, const std::vector<Incident::BusySpan>& busy) {
    bool upload = false, download = false;
    for (const auto& span : busy) {
        // A spike trails its load by a reply or two; allow the same slack as between events.
        if (span.start > incident.end + Incident::adjacentSeconds || span.end < incident.start - Incident::adjacentSeconds)
            continue;
        (span.direction == LoadDirection::upload ? upload : download) = true;
    }
    if (upload && download) return LoadClass::both;
    if (upload) return LoadClass::upload;
    if (download) return LoadClass::download;
    return LoadClass::unknown;
}

}  // namespace

bool Incident::isLocal() const {
    return std::any_of(events.begin(), events.end(),
                       [](const NetworkEvent& event) { return event.role.kind == TargetRole::Kind::router; });
}

bool Incident::isInternet() const {
    if (isLocal()) return false;
    // Two different targets: one host failing twice is no internet outage.
    std::vector<TargetRole> roles;
    for (const auto& event : events) {
        if (event.role.isInternet() && std::find(roles.begin(), roles.end(), event.role) == roles.end())
            roles.push_back(event.role);
    }
    return roles.size() >= 2;
}

std::string_view Incident::title() const {
    std::vector<std::pair<TargetRole, std::string>> targets;
    for (const auto& event : events)
        if (std::find(targets.begin(), targets.end(), std::pair{event.role, event.host}) == targets.end())
            targets.emplace_back(event.role, event.host);
    const bool several = targets.size() > 1;
    if (kind == NetworkEvent::Kind::outage) {
        if (isLocal() && several) return "Local network down";
        // The internet down with the provider's edge: where it started.
        const bool atProvider = std::any_of(events.begin(), events.end(), [](const NetworkEvent& event) {
            return event.role.kind == TargetRole::Kind::provider;
        });
        if (isInternet()) return atProvider ? "Provider's network down" : "Internet down";
        return "Outage";
    }
    switch (load) {
    case LoadClass::upload: return "Slow while uploading";
    case LoadClass::download: return "Slow while downloading";
    case LoadClass::both: return "Slow while busy";
    case LoadClass::idle:
    case LoadClass::unknown: break;
    }
    if (isLocal() && several) return "Slow local network";
    return "Spike";
}

std::vector<Incident> Incident::group(std::vector<NetworkEvent> events, const std::vector<BusySpan>& busy) {
    std::stable_sort(events.begin(), events.end(),
                     [](const NetworkEvent& a, const NetworkEvent& b) { return a.start < b.start; });
    std::vector<Incident> incidents;
    for (const NetworkEvent& event : events) {
        // Every incident the event joins becomes one with it: the router's
        // outage binds an internet incident and a custom host's together.
        std::optional<std::size_t> into;
        for (std::size_t i = 0; i < incidents.size();) {
            if (!joins(incidents[i], event)) {
                ++i;
                continue;
            }
            if (!into) {
                into = i++;
                continue;
            }
            for (const auto& member : incidents[i].events) add(incidents[*into], member);
            incidents.erase(incidents.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (into) {
            add(incidents[*into], event);
        } else {
            incidents.push_back(Incident{event.kind, event.start, event.end, event.worstRTT, {event}, LoadClass::unknown});
        }
    }
    for (auto& incident : incidents) {
        std::stable_sort(incident.events.begin(), incident.events.end(),
                         [](const NetworkEvent& a, const NetworkEvent& b) { return a.start < b.start; });
        if (incident.kind == NetworkEvent::Kind::spike) incident.load = busyDuring(incident, busy);
    }
    std::stable_sort(incidents.begin(), incidents.end(),
                     [](const Incident& a, const Incident& b) { return a.start < b.start; });
    return incidents;
}

}  // namespace nerivane
