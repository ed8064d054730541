// What the user asks to probe. Only the first two entries of each list are
// used; the lists themselves are kept as given.
#pragma once

#include <string>
#include <vector>

namespace nerivane {

struct TargetSettings {
    std::vector<std::string> internetHosts{"1.1.1.1", "8.8.8.8"};
    bool probeIPv6 = true;
    std::vector<std::string> customHosts;
    bool operator==(const TargetSettings&) const = default;
};

}  // namespace nerivane
