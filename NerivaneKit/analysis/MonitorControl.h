// What the owner of a running monitor needs of it. Monitor is the real one,
// which probes; the application model's tests drive it with fakes that
// deliver updates of their own making. Called on the owner's thread (the
// application's main thread), never from inside an update.
#pragma once

#include "NerivaneKit/load/LinkCapacity.h"
#include "NerivaneKit/lookup/LookupSettings.h"
#include "NerivaneKit/platform/Clocks.h"
#include "NerivaneKit/probing/TargetSettings.h"

namespace nerivane {

class MonitorControl {
public:
    virtual ~MonitorControl() = default;
    virtual void start() = 0;
    // Returns once no further update will be delivered.
    virtual void stop() = 0;
    virtual void update(const TargetSettings& settings) = 0;
    // A new name for the DNS health probes; fakes may ignore it.
    virtual void updateLookups(const LookupSettings& settings) { (void)settings; }
    // The time between probing rounds.
    virtual void setInterval(Seconds interval) = 0;
    // The link's capacity as history measured it; fakes may ignore it.
    virtual void setLinkCapacity(LinkCapacity capacity) { (void)capacity; }
};

}  // namespace nerivane
