#include "NerivaneKit/probing/PendingProbes.h"

#include <algorithm>

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane {
namespace {

ProbeResult resultFor(const PendingProbes::Probe& probe, ProbeResult::Outcome outcome) {
    return ProbeResult{probe.address, probe.sequence, probe.sentAt, outcome};
}

// Age of a probe at `now`; 0 when the clock reads earlier than the send time.
std::chrono::nanoseconds age(const PendingProbes::Probe& probe, Ticks now) {
    return now > probe.sentAt ? now - probe.sentAt : std::chrono::nanoseconds{};
}

bool answers(const PendingProbes::Probe& probe, const ICMPPacket::Echo& echo, const ProbeAddress& source) {
    return probe.token == echo.token && probe.address == source;
}

}  // namespace

void PendingProbes::record(const Probe& probe) {
    inFlight[probe.sequence] = probe;
    timedOut.erase(probe.sequence);
}

std::vector<ProbeResult> PendingProbes::match(const ICMPPacket::Echo& echo, const ProbeAddress& source,
                                              Ticks receivedAt) {
    if (auto it = inFlight.find(echo.sequence); it != inFlight.end() && answers(it->second, echo, source)) {
        const Probe probe = it->second;
        inFlight.erase(it);
        const double ms = MachClock::milliseconds(probe.sentAt, receivedAt).count();
        // Expiry has not run yet, but the reply came after the time-out.
        if (age(probe, receivedAt) > timeout)
            return {resultFor(probe, ProbeResult::Lost{}), resultFor(probe, ProbeResult::Late{ms})};
        return {resultFor(probe, ProbeResult::Reply{ms})};
    }
    if (auto it = timedOut.find(echo.sequence); it != timedOut.end() && answers(it->second, echo, source)) {
        const Probe probe = it->second;
        timedOut.erase(it);
        return {resultFor(probe, ProbeResult::Late{MachClock::milliseconds(probe.sentAt, receivedAt).count()})};
    }
    return {};
}

std::vector<ProbeResult> PendingProbes::expire(Ticks now) {
    std::vector<Probe> expired;
    for (const auto& [sequence, probe] : inFlight)
        if (age(probe, now) > timeout) expired.push_back(probe);
    // The map is in sequence order, which wraps; report in sending order.
    std::stable_sort(expired.begin(), expired.end(),
                     [](const Probe& a, const Probe& b) { return a.sentAt < b.sentAt; });

    std::vector<ProbeResult> results;
    results.reserve(expired.size());
    for (const Probe& probe : expired) {
        inFlight.erase(probe.sequence);
        timedOut[probe.sequence] = probe;
        results.push_back(resultFor(probe, ProbeResult::Lost{}));
    }
    std::erase_if(timedOut, [&](const auto& entry) { return age(entry.second, now) > lateWindow; });
    return results;
}

void PendingProbes::clear() {
    inFlight.clear();
    timedOut.clear();
}

}  // namespace nerivane
