// One probe outcome as handed from the monitor core to history: the target,
// the protocol it was measured with, the outcome and the send time as a
// wall-clock date. A plain value; made on the probe queue, read on the history queue.
#pragma once

#include "NerivaneKit/load/LoadClass.h"
#include "NerivaneKit/probing/ProbeProtocol.h"
#include "NerivaneKit/probing/ProbeResult.h"
#include "NerivaneKit/probing/Target.h"

namespace nerivane {

struct ProbeRecord {
    Target target;
    // tcp when the target was measured by TCP when the outcome was folded in.
    ProbeProtocol probeProtocol = ProbeProtocol::icmp;
    ProbeResult::Outcome outcome = ProbeResult::Lost{};
    // Wall-clock date of the send time, in Unix seconds (fractional).
    double sentAt = 0;
    // How busy the link was during the second the probe was in flight.
    LoadClass load = LoadClass::unknown;

    bool operator==(const ProbeRecord&) const = default;
};

}  // namespace nerivane
