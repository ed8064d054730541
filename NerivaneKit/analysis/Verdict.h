// The one answer to "where does the trouble lie", decided from the network
// path, the router's state and the combined state of the internet hosts.
// Pure; computed with every snapshot on the probe queue. Stored texts are the case names.
#pragma once

#include <optional>
#include <string_view>

#include "NerivaneKit/analysis/TargetState.h"
#include "NerivaneKit/lookup/LookupSnapshot.h"

namespace nerivane {

enum class Verdict {
    measuring,
    good,
    internetProblem,
    internetDown,
    localProblem,
    localDown,
    connectionProblem,
    connectionDown,
    internetUnmeasured,
    offline,
    // Pings to the internet are fine, but every DNS server fails its lookups.
    lookupsFailing,
    // Pings are fine, but DNS answers take over a second (median over five minutes).
    lookupsSlow,
    // Latency or jitter is a problem only while the link is busy in a
    // direction, and idle probes are fine: the queue of a busy link (bufferbloat).
    slowWhileBusy,
    // The router is fine, but the provider's edge (the first hop beyond it)
    // and every internet host are down.
    providerDown,
    // The internet's trouble shows at the provider's edge already: the same
    // added latency or loss.
    providerProblem,
    // NetworkManager finds a portal on this network: it holds traffic until
    // the user signs in in a browser.
    signInNeeded,
};

std::string_view text(Verdict verdict);
std::optional<Verdict> parseVerdict(std::string_view text);

// router is absent when there is no router target or it cannot be measured
// (it does not answer ping, or sits behind a VPN); internet is the combined
// state of the measured internet hosts, absent when there are none.
Verdict decideVerdict(bool isSatisfied, const std::optional<TargetState>& router,
                      const std::optional<TargetState>& internet);

// Name lookups speak only when everything else is good: an internet or local
// verdict explains failing lookups already, and stays.
Verdict withLookups(Verdict verdict, const std::optional<LookupSnapshot>& lookups);

// The provider's edge speaks only to sharpen an internet verdict: internet
// down with the edge down too is providerDown; an internet problem whose
// latency or loss the edge shares is providerProblem. The edge's own loss
// never makes a verdict (hops rate-limit their answers to pings), so every
// other verdict stays. provider is absent when there is no measured edge.
Verdict withProvider(Verdict verdict, const std::optional<TargetState>& provider,
                     const std::optional<TargetState>& internet);

struct LoadEvidence;

// The verdict with the link's load and the lookups taken in, in this order:
// - offline, measuring, downs and outages keep their verdicts (a busy link
//   does not silence a host);
// - a latency, jitter or loss problem (internet, local or connection) whose
//   busy replies explain it, the idle ones being good, is slowWhileBusy while
//   the link is busy and good once it is not: the window still holds the
//   load's replies for a minute, and they no longer say anything about now;
// - then the lookups speak as withLookups says;
// - slow or failing lookups while a busy link is bloated are slowWhileBusy:
//   DNS answers wait in the same queue as the pings.
// Without evidence (no counters) it is withLookups alone.
Verdict withLoad(Verdict verdict, const std::optional<LoadEvidence>& load,
                 const std::optional<LookupSnapshot>& lookups);

// A network whose portal waits for the user to sign in explains an internet
// that fails or that pages cannot reach, whatever the pings say; it does not
// explain no network or a router in trouble.
Verdict withSignIn(Verdict verdict, bool signInNeeded);

}  // namespace nerivane

template <>
struct std::hash<nerivane::Verdict> {
    std::size_t operator()(nerivane::Verdict verdict) const noexcept {
        return static_cast<std::size_t>(verdict);
    }
};
