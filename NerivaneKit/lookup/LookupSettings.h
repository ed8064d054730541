// What the user asks of the DNS health probes: the name each server is asked
// for. Handed by the application to the monitor, which runs the lookups
// (NameLookups); the probe engine never sees it. A plain value.
#pragma once

#include <string>

namespace nerivane {

struct LookupSettings {
    // Empty: no DNS health probes at all.
    std::string name;
    bool operator==(const LookupSettings&) const = default;
};

}  // namespace nerivane
