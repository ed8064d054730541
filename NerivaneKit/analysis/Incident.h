// The events of one cause seen as one: an internet outage is recorded once
// per internet host (and for the IPv6 partner), an upload slows every host
// at once, yet the user lived through one incident. The popup's events list
// and the notifications speak of incidents; history and CSV keep the
// per-target events. Pure values; any thread.
//
// Grouping rule: events of one kind belong together when each starts no
// later than adjacentSeconds after the incident so far has ended, and they
// share a cause: internet hosts and the IPv6 partner share the internet's;
// the router's covers every target behind it; a custom host is its own.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "NerivaneKit/analysis/NetworkEvent.h"
#include "NerivaneKit/load/LoadClass.h"

namespace nerivane {

struct Incident {
    // A stretch in which the link was busy in one direction (Unix seconds).
    struct BusySpan {
        LoadDirection direction = LoadDirection::upload;
        double start = 0;
        double end = 0;
        bool operator==(const BusySpan&) const = default;
    };

    // Events of one cause this close together are one incident: a host
    // answers a probe interval or two after another, and a link that flaps
    // for a moment has not recovered.
    static constexpr double adjacentSeconds = 5;

    NetworkEvent::Kind kind = NetworkEvent::Kind::outage;
    // Unix seconds: the earliest start and the latest end of its events.
    double start = 0;
    double end = 0;
    // The highest round-trip time of its spikes.
    std::optional<double> worstRTT;
    // Its events, by start.
    std::vector<NetworkEvent> events;
    // For spikes: the direction the link was busy in meanwhile (upload,
    // download or both); unknown when it was not or nobody knows.
    LoadClass load = LoadClass::unknown;

    bool operator==(const Incident&) const = default;

    double duration() const { return end - start; }
    // The router is among its targets, so the trouble is on this side of it.
    bool isLocal() const;
    // Two or more internet targets (the hosts or the IPv6 partner), no router.
    bool isInternet() const;
    // What the popup, the notifications and the report call it: "Internet
    // down", "Provider's network down", "Local network down", "Outage";
    // "Slow while uploading", "Slow while downloading", "Slow while busy",
    // "Slow local network", "Spike".
    std::string_view title() const;

    // The incidents the events make, by start (oldest first). busy are the
    // stretches of a busy link known; a spike incident that overlaps one is
    // dated to its direction.
    static std::vector<Incident> group(std::vector<NetworkEvent> events, const std::vector<BusySpan>& busy = {});
};

}  // namespace nerivane
