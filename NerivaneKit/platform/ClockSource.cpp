#include "NerivaneKit/platform/ClockSource.h"

#include "NerivaneKit/platform/MachClock.h"

namespace nerivane {

ClockSource ClockSource::system() {
    return ClockSource{&MachClock::now, &MachClock::continuousNow};
}

}  // namespace nerivane
