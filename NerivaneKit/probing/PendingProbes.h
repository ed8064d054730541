// The table of outstanding echo probes and the rules that turn replies and the
// passing of time into results. A plain value owned by ICMPProber (on its
// queue); every operation takes the time as an argument, so the rules can be
// driven step by step. All times are probe ticks (MachClock).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include "NerivaneKit/probing/ICMPPacket.h"
#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/probing/ProbeResult.h"

namespace nerivane {

// How a reply finds its probe: by its sequence, then its token and its source
// address must both equal the probe's (family, bytes and IPv6 scope). The echo
// identifier is never compared: ping sockets rewrite it (icmp(7)), and the
// random 64-bit token already tells our replies from other programs'.
//
// When a probe is lost or late: a probe stays in `inFlight` until its reply
// comes or `expire` finds it older than `timeout`; then it is reported lost and
// moves to `timedOut`. A reply found in `timedOut` is reported late. A reply
// read after the time-out but before any expiry ran is reported as both: lost,
// then late, so every probe yields a loss before its late reply. A probe older
// than `lateWindow` is forgotten; its reply, if it ever comes, is ignored.
struct PendingProbes {
    struct Probe {
        ProbeAddress address;
        std::uint16_t sequence = 0;
        // Random value carried in the request; only our reply echoes it back.
        std::uint64_t token = 0;
        Ticks sentAt{};
        bool operator==(const Probe&) const = default;
    };

    // After this long without a reply a probe is lost.
    std::chrono::nanoseconds timeout{};
    // A lost probe whose reply arrives within this long of sending is late.
    std::chrono::nanoseconds lateWindow{};
    // Sent and neither answered nor expired, by sequence.
    std::map<std::uint16_t, Probe> inFlight;
    // Expired, still waiting for a late reply; after `expire(now)` it holds only
    // probes sent no more than `lateWindow` before now.
    std::map<std::uint16_t, Probe> timedOut;

    bool operator==(const PendingProbes&) const = default;

    // Records a sent probe. A timed-out probe with the same sequence (from a
    // lap of the sequence counter ago) is forgotten, so its late reply cannot
    // be taken for the new probe's.
    void record(const Probe& probe);

    // The results of one reply from `source` that arrived at `receivedAt`:
    // reply; lost then late; late; or nothing for a stray, duplicate or foreign
    // reply (which leaves the table untouched).
    std::vector<ProbeResult> match(const ICMPPacket::Echo& echo, const ProbeAddress& source,
                                   Ticks receivedAt);

    // Moves every in-flight probe older than `timeout` to `timedOut` and returns
    // their losses, oldest first; forgets timed-out probes beyond `lateWindow`.
    std::vector<ProbeResult> expire(Ticks now);

    // Forgets everything outstanding without reporting it.
    void clear();
};

}  // namespace nerivane
