// The words for incidents and for the targets they name: "Internet down",
// "Slow while uploading", the hosts as "1.1.1.1, 8.8.8.8, IPv6", and a
// target's name wherever a person reads it ("1.1.1.1 over IPv6" for the
// partner, whose host is its IPv4 twin's). Pure functions; any thread.
#pragma once

#include <QString>
#include <string>

#include "NerivaneKit/analysis/Incident.h"
#include "NerivaneKit/probing/TargetRole.h"
#include "nerivane/core/VerdictTexts.h"

namespace nerivane::IncidentTexts {

// "router", "1.1.1.1 over IPv6", else the host as the user gave it.
QString targetName(const TargetRole& role, const std::string& host);

// "Internet down", "Local network down", "Outage"; "Slow while uploading",
// "Slow while downloading", "Slow while busy", "Slow local network", "Spike".
QString title(const Incident& incident);
// The targets once each, in the order they were hit, the partner as "IPv6"
// beside its IPv4 host: "1.1.1.1, 8.8.8.8, IPv6".
QString targets(const Incident& incident);
// "Internet down · 1.1.1.1, 8.8.8.8, IPv6".
QString line(const Incident& incident);
// For a screen reader: "Internet down at 1:15 PM, 31s: 1.1.1.1, 8.8.8.8 and
// 1.1.1.1 over IPv6, worst 212 milliseconds".
QString spoken(const Incident& incident, const VerdictTexts::Context& context);

}  // namespace nerivane::IncidentTexts
