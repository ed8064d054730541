// One probed target: its role, the host as the user gave it ("router" for the
// router), and the one address probed for it.
#pragma once

#include <string>

#include "NerivaneKit/net/ProbeAddress.h"
#include "NerivaneKit/probing/TargetRole.h"

namespace nerivane {

struct Target {
    TargetRole role;
    std::string host;
    ProbeAddress address;
    bool operator==(const Target&) const = default;
};

}  // namespace nerivane
